#pragma once

#include "StationLayout.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The station's settings, read once at start-up from "Tarvinex.ini" in the
// station folder, and the terminal ID helper every path below DataRoot uses.
namespace Comm {

inline constexpr quint16 DefaultPort = 50211;
inline constexpr qint64 DefaultMaxFile = qint64(256) << 20;
inline constexpr qint64 DefaultMinFree = qint64(256) << 20;
inline constexpr int DefaultLogDays = 90;
inline constexpr const char *SettingsFileName = "Tarvinex.ini";

// A key the settings do not know, written where a known one was surely meant
// ("dbname" for "DBname").
struct Lookalike
{
    QString written;
    QString meant;
    int line = 0;
};

// A key replaced by a newer one that terminals not yet given the new key may
// still use, until its time ends.
struct RetiredKey
{
    QByteArray key;
    QDateTime until; // UTC
};

// Every setting the station reads, typed. A value that cannot be used stops
// the station at start, so what is here is what runs.
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
    // import window reads its master files from.
    QString importDb;
    QString importDir;
    // "LOGDAYS": days the station log keeps; 0 keeps every day.
    int logDays = DefaultLogDays;
    // "MAXFILE": the largest file a terminal may send, in bytes.
    qint64 maxFile = DefaultMaxFile;
    // "MINFREE": the bytes kept free on every file system the station writes
    // to; 0 for no floor.
    qint64 minFree = DefaultMinFree;
    // "UNIT": the serial unit serve listens on ("ttyUSB0" or a path); empty
    // for none.
    QString unit;
    // The key of the terminals' challenge, UTF-8 bytes; empty for none. It
    // comes from its own file (link.key, or the one "LINKKEYFILE" names),
    // which is then linkKeyFile, or from an older station's "LINKKEY".
    QByteArray linkKey;
    QString linkKeyFile;
    // The key file's retired keys still valid when the settings were read.
    QList<RetiredKey> retiredKeys;
    // "LISTEN": where TCP listens: "any", "loopback", or IP addresses as
    // written; empty when not set (effectiveListen gives the default).
    QStringList listen;
    // "INSECURE_LISTEN": a station without a key may listen beyond loopback.
    bool insecureListen = false;
    // "LINKV1": terminals of version 1, plain frames without TLS, are served.
    // On unless turned off, so that a station keeps its terminals through an
    // upgrade; init turns it off on a new station with a key.
    bool acceptV1 = true;
    // "NOTICES": "box" shows every message to the operator in a box; "log"
    // puts what only informs on the status line and in the log, for a
    // station nobody watches. Failures raise a box either way.
    enum class Notices { Box, Log };
    Notices notices = Notices::Box;

    // What the operator should hear of but need not stop for, one sentence
    // each: a key that looks mistyped, a key others can read.
    QStringList warnings;
    // Unknown keys that look like known ones, for the message when a required
    // key is missing.
    QList<Lookalike> lookalikes;

    QString settingsFile() const { return layout().settingsFile(); }
    StationLayout layout() const { return StationLayout(*this); }
};

// What a command puts in place of the settings before they are checked.
struct LoadOptions
{
    // serve's --listen, in place of LISTEN; empty for none.
    QStringList listen;
    // The key command reads a station to give it a key: one refused for
    // listening beyond loopback without a key, or whose LINKKEYFILE is not
    // there yet, is still read.
    bool forKeyCommand = false;
};

// Reads the settings of the station folder and the link key, and checks that
// a station without a key listens on loopback alone. On failure (missing or
// unreadable file, a value that cannot be used, a key file that cannot be
// read, a station open to others without a key) returns false and sets error
// to a message for the operator that names the file.
bool LoadSettings(const QString &stationDir,
                  Settings *settings,
                  QString *error,
                  const LoadOptions &options = {});

// What a station cannot run without: the terminal database and an existing
// data folder. On failure sets error to a message naming the key (and a
// lookalike of it the file has); every command and the window stop on it
// before they listen or scan.
bool checkSettings(const Settings &settings, QString *error);

// A TCP port terminals can reach, as "PORT" and serve's --port take it;
// false when text is none. PortValues says which values are taken.
inline constexpr const char *PortValues = "1〜65535 の整数";
bool readPort(const QString &text, quint16 *port);

// Left-pads value with "0" to width characters; longer values are unchanged.
QString ZeroPad(int width, const QString &value);
QString ZeroPad(int width, qint64 value);

// The four-digit terminal ID that names a terminal's folders and rows.
QString terminalId(int terminalNumber);

// Whether a database setting names a PostgreSQL server (postgresql:// or
// postgres://) rather than a SQLite file.
bool isServerUri(const QString &location);
// For a location that looks like a URI ("mysql://…", a misspelt
// "postgresq://…") but names no server the station speaks to: the hint to
// give instead of taking it as a file's path. Empty for a path or a server.
QString uriSchemeHint(const QString &location);

} // namespace Comm
