#pragma once

#include <QString>

class Clock;
class Operator;
class StationLog;
namespace Comm {
struct Settings;
}
namespace Masters {
struct Definition;
}

// What the import window does, without the window: it takes the maintenance
// database and the import folder from the settings when the window loads, and
// each import button runs one master's import and tells the operator how it
// went. The import runs to its end before anything else is handled.
class MasterMaintenance
{
public:
    MasterMaintenance(const Comm::Settings &settings,
                      Operator &op,
                      StationLog &log,
                      const Clock &clock);

    // The window's load: the paths are taken from the settings again.
    void load();

    // One import button. "更新終了" once the file is in; a failure is told
    // instead, naming the file, the line and the cause, and changes nothing.
    bool importMaster(const Masters::Definition &master);

    QString ImportDbPath() const { return m_importDbPath; }
    QString ImportFolder() const { return m_importFolder; }

    static QString doneCaption() { return QStringLiteral("終了しました"); }
    static QString doneText() { return QStringLiteral("更新終了"); }
    // Before the lock's holder, when another import or scan is running.
    static QString busyText() { return QStringLiteral("他のマスター更新が実行中です: "); }

private:
    const Comm::Settings &m_settings;
    Operator &m_operator;
    StationLog &m_log;
    const Clock &m_clock;
    QString m_importDbPath;
    QString m_importFolder;
};
