#pragma once

#include <QPointer>

class MasterMenu;
class Clock;
class Operator;
class StationLog;
namespace Comm {
struct Settings;
}

// The main window's BtnMaster: shows the import window as a window of its
// own, not modal and owned by no other window, so the station goes on
// listening, filing and polling meanwhile. There is at most one: opening it
// again brings the open one forward.
class MasterMenuOpener
{
public:
    MasterMenuOpener(const Comm::Settings &settings,
                     Operator &op,
                     StationLog &log,
                     const Clock &clock);
    ~MasterMenuOpener();
    MasterMenuOpener(const MasterMenuOpener &) = delete;
    MasterMenuOpener &operator=(const MasterMenuOpener &) = delete;

    void show();
    // Closes the open window, if any.
    void close();
    // The open window, or nullptr once it has been closed.
    MasterMenu *window() const;

private:
    const Comm::Settings &m_settings;
    Operator &m_operator;
    StationLog &m_log;
    const Clock &m_clock;
    QPointer<MasterMenu> m_window;
};
