#pragma once

#include "StationLayout.h"

#include <QHash>
#include <QString>

// The station's settings, read once at start-up from "Tarvinex.ini" in the
// station folder, and the terminal ID helper every path below DataRoot uses.
namespace Comm {

inline constexpr quint16 DefaultPort = 50211;
inline constexpr const char *SettingsFileName = "Tarvinex.ini";

struct Settings
{
    // The folder the station works in: received files arrive here and master
    // exports are staged here for sending. No trailing separator.
    QString stationDir;
    // "DBname": the terminal master database.
    QString DbPath;
    // "DATA": root of the data folder tree, always ending with "/" unless empty.
    QString DataRoot;
    // "PORT": TCP port on which terminals are served.
    quint16 port = DefaultPort;
    // "IMPORTDB", "IMPORTDIR": the maintenance database and the folder the
    // import window reads its master files from (the latter ending with "/").
    QString importDb;
    QString importDir;
    // "LOGDAYS": days the station log keeps; 0 keeps every day.
    int logDays = 90;
    // Every key the file gave, last value winning, for keys read elsewhere.
    QHash<QString, QString> values;

    QString settingsFile() const { return layout().settingsFile(); }
    StationLayout layout() const { return StationLayout(*this); }
    QString value(const QString &key) const { return values.value(key); }
};

// Reads the settings of the station folder. On failure (missing or unreadable
// file, a value that cannot be used) returns false and sets error to a message
// for the operator that names the file.
bool LoadSettings(const QString &stationDir, Settings *settings, QString *error);

// Parses the text of a settings file; the rules of LoadSettings without the file.
// Relative paths are taken from settings->stationDir when it is set, so that
// a station folder copied elsewhere works where it lands.
bool parseSettings(const QString &text, Settings *settings, QString *error);

// What a station cannot run without: the terminal database and an existing
// data folder. On failure sets error to a message naming the key; every
// command and the window stop on it before they listen or scan.
bool checkSettings(const Settings &settings, QString *error);

// Left-pads value with "0" to width characters; longer values are unchanged.
QString ZeroPad(int width, const QString &value);
QString ZeroPad(int width, qint64 value);

// The four-digit terminal ID that names a terminal's folders and rows.
QString terminalId(int terminalNumber);

// Whether a database setting names a PostgreSQL server (postgresql:// or
// postgres://) rather than a SQLite file.
bool isServerUri(const QString &location);

} // namespace Comm
