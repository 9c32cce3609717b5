#pragma once

#include "base/Comm.h"
#include "base/Console.h"
#include "base/StationLog.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

class Clock;
class StationLock;

// The commands run without windows. Each takes the arguments after the
// command's name and returns the process's exit status: 0 done, 1 failed,
// 2 a usage or settings error, LowSpaceStatus when scan or import would write
// where too little space is free.
namespace Cli {

inline constexpr int LowSpaceStatus = 4;

// Who runs: names the process in the log and decides the station folder
// when none is given.
enum class Process { Window, Serve, Scan, Import, Key };
QString processName(Process process);
// The station log as process writes it, keeping the days the settings say.
StationLog stationLog(const Comm::Settings &settings, const Clock &clock, Process process);

QString helpText();
// "tarvinex 1.2", for every --version.
QString versionText();

int init(const QStringList &arguments);

// The service's station folder when none is given; the unit passes each
// instance's own folder below it.
inline constexpr const char *ServiceStationDir = "/var/lib/tarvinex";

struct StationChoice
{
    QString dir;
    // How it was chosen, for the operator: the option, the environment, ...
    QString reason;
    QString line() const;
};

// The station folder: --station-dir, else TARVINEX_STATION_DIR, else the
// program's own folder when a Tarvinex.ini lies beside it (a portable copy),
// else the service's folder for serve, else for the window the folder it made
// a station in before (RememberedStation), else a per-user folder under the
// XDG data home for the window, scan and import.
StationChoice chooseStation(const QString &option, Process process);

// The --station-dir option every station command takes.
QCommandLineOption stationDirOption();
QCommandLineOption helpOption();
QCommandLineOption versionOption();

// Writes a usage error to standard error: one line naming the problem, then
// the usage. Returns 2, the exit status for it.
int usageError(const QString &problem, const QString &usage);

// Parses a command's arguments with the common options; answers --help and
// --version (exit status 0) and a usage error (one line naming it, then the
// usage; exit status 2). Returns -1 when the command should go on.
int parseCommand(QCommandLineParser &parser,
                 const QString &command,
                 const QStringList &arguments,
                 const QString &usage);
// The same for a command that takes options alone: an argument besides them
// is a usage error naming it.
int parseOptionsOnly(QCommandLineParser &parser,
                     const QString &command,
                     const QStringList &arguments,
                     const QString &usage);

// Chooses the station folder, says which on standard output, reads and checks
// its settings; on failure writes why to standard error and returns false
// (exit status 2). The settings' warnings go to standard error and, when the
// station can run, to its log. options go to Comm::LoadSettings.
bool loadSettings(const QCommandLineParser &parser,
                  Process process,
                  Comm::Settings *settings,
                  StationChoice *choice,
                  QString *error = nullptr,
                  const Comm::LoadOptions &options = {});

// Looks at the databases the settings name, IMPORTDB too when withImport
// (DatabaseStart), before anything runs. What a server made goes to standard
// output and the log, a failure to standard error and the log (and to
// *problem), and what was made to *made, for `status`. Returns 0; 2 for a
// setting to mend; 1 for a server not reached, which serve and the window
// outlive, trying again at each scan.
int checkDatabases(const Comm::Settings &settings,
                   Process process,
                   bool withImport,
                   QString *problem = nullptr,
                   QStringList *made = nullptr);

// Whether every disk the station writes to has more free space than the
// settings' floor; otherwise says where and how much on standard error. A
// scan or import stops on it, so the disk holding the database and the log
// is never the one filled.
bool enoughFreeSpace(const Comm::Settings &settings);

// --lock-wait SECONDS of scan and import: how long to wait for another
// process applying or importing master files (the running station's scan, a
// scan from cron) before giving up.
QCommandLineOption lockWaitOption();
// Takes the masters lock for a command's run; on failure says why on
// standard error (exit status 2).
bool takeMastersLock(const QCommandLineParser &parser, StationLock *lock);
// Takes the running station's lock for serve or the window; on failure says
// why on standard error, naming the running station's process, and in
// *error when given.
bool takeStationLock(StationLock *lock, QString *error = nullptr);

} // namespace Cli
