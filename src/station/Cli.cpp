#include "Cli.h"

#include "CommandHelp.h"
#include "DatabaseStart.h"
#include "KeyCommand.h"
#include "RememberedStation.h"
#include "StationInit.h"
#include "StationLock.h"
#include "base/Clock.h"
#include "base/FreeSpace.h"
#include "base/LinkKeyFile.h"
#include "base/StationLog.h"
#include "base/Version.h"
#include "link/LinkKey.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace Cli {

QString processName(Process process)
{
    switch (process) {
    case Process::Window:
        return QStringLiteral("window");
    case Process::Serve:
        return QStringLiteral("serve");
    case Process::Scan:
        return QStringLiteral("scan");
    case Process::Import:
        return QStringLiteral("import");
    case Process::Key:
        return QStringLiteral("key");
    }
    return QString();
}

StationLog stationLog(const Comm::Settings &settings, const Clock &clock, Process process)
{
    return StationLog(settings.layout().logFolder(), clock, processName(process), settings.logDays);
}

QString helpText()
{
    return QStringLiteral(
        "Usage: tarvinex [--station-dir DIR]\n"
        "       tarvinex COMMAND [ARGUMENTS]\n"
        "\n"
        "Without a command the station starts with its main window.\n"
        "\n"
        "Commands:\n"
        "  init DIR [--db URI] [--import-db URI] [--host-group GROUP]\n"
        "           [--link-key-file FILE] [--port N]\n"
        "               lay out a new station folder: settings, data folders, databases\n"
        "               (SQLite files in DIR, or tables on a PostgreSQL server) and a new\n"
        "               link key, or FILE's; the host's folders are shared with GROUP\n"
        "               (default tarvinex-host); PORT is N (default 50211), another\n"
        "               for each further station on the machine\n"
        "  import [--station-dir DIR] MASTER...\n"
        "               import master files (BUNMAS TENMAS SIRMAS TOKMAS SHOMAS JISYA)\n"
        "               from the import folder into the maintenance database\n"
        "  serve [--station-dir DIR] [--port N] [--listen ADDRESSES]\n"
        "               the station without windows: serve terminals, print every message\n"
        "  scan [--station-dir DIR] [--verbose]\n"
        "               apply the master files waiting in the receive folders now\n"
        "  permissions [--station-dir DIR] [--host-group GROUP]\n"
        "               give an existing station the modes and groups init gives a new one\n"
        "  key show [--station-dir DIR]\n"
        "               print the link key terminals need, and retired keys still valid\n"
        "  key new [--keep-old DURATION] [--station-dir DIR]\n"
        "               make a new link key; the old one stays valid for DURATION (7d, 36h)\n"
        "  status [--station-dir DIR] [--json]\n"
        "               how the station is doing, read without disturbing it (exit 0 running,\n"
        "               1 needs attention, 3 not running)\n"
        "\n"
        "Options:\n"
        "  --station-dir DIR  the station folder; without it TARVINEX_STATION_DIR, else\n"
        "                     the program's folder if a Tarvinex.ini lies beside it,\n"
        "                     else /var/lib/tarvinex for serve, else for the window the\n"
        "                     folder it made a station in, kept in\n"
        "                     $XDG_CONFIG_HOME/tarvinex/station, else\n"
        "                     $XDG_DATA_HOME/tarvinex (~/.local/share/tarvinex)\n"
        "  --help             show this text (COMMAND --help: the command's usage)\n"
        "  --version          show the version\n"
        "\n"
        "Exit status: 0 done, 1 failed (key show: no key), 2 usage or settings error,\n"
        "             3 (scan) a master file still being written was left for later,\n"
        "             4 too little free space for scan or import (MINFREE).");
}

QString versionText()
{
    return QStringLiteral("tarvinex ") + QLatin1String(Tarvinex::Version);
}

QString StationChoice::line() const
{
    return QStringLiteral("station folder: %1 (%2)").arg(dir, reason);
}

namespace {

// The program's own folder, read before any application object exists: the
// window checks its settings before it may open a display.
QString programFolder()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
}

} // namespace

StationChoice chooseStation(const QString &option, Process process)
{
    // Absolute, so that the folder named in the output and the log is the
    // folder used whatever the working folder was.
    const auto absolute = [](const QString &dir) {
        return QDir::cleanPath(QDir(dir).absolutePath());
    };
    if (!option.isEmpty())
        return { absolute(option), QStringLiteral("--station-dir") };
    const QString fromEnvironment = qEnvironmentVariable("TARVINEX_STATION_DIR");
    if (!fromEnvironment.isEmpty())
        return { absolute(fromEnvironment), QStringLiteral("TARVINEX_STATION_DIR") };
    const QString program = programFolder();
    if (!program.isEmpty() && QFileInfo::exists(StationLayout(program, QString()).settingsFile()))
        return { program, QStringLiteral("Tarvinex.ini beside the program") };
    if (process == Process::Serve)
        return { QLatin1String(ServiceStationDir), QStringLiteral("the service's folder") };
    // Only the window: it made the station there, and the desktop entry that
    // starts it names no folder.
    if (process == Process::Window) {
        if (const QString remembered = RememberedStation::read(); !remembered.isEmpty())
            return { remembered, QStringLiteral("remembered in ") + RememberedStation::file() };
    }
    return { QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                 + QStringLiteral("/tarvinex"),
             QStringLiteral("the user's folder") };
}

QCommandLineOption stationDirOption()
{
    return QCommandLineOption(QStringLiteral("station-dir"),
                              QStringLiteral("The station folder."),
                              QStringLiteral("DIR"));
}

QCommandLineOption helpOption()
{
    return QCommandLineOption(QStringList { QStringLiteral("h"), QStringLiteral("help") });
}

QCommandLineOption versionOption()
{
    return QCommandLineOption(QStringLiteral("version"));
}

int usageError(const QString &problem, const QString &usage)
{
    printLine(stderr, QStringLiteral("tarvinex: ") + problem);
    printLine(stderr, usage);
    return 2;
}

int parseCommand(QCommandLineParser &parser,
                 const QString &command,
                 const QStringList &arguments,
                 const QString &usage)
{
    parser.addOption(helpOption());
    parser.addOption(versionOption());
    if (!parser.parse(QStringList { command } + arguments))
        return usageError(parser.errorText(), usage);
    if (parser.isSet(helpOption())) {
        const QString help = commandHelp(command);
        printLine(stdout, help.isEmpty() ? usage : usage + QStringLiteral("\n\n") + help);
        return 0;
    }
    if (parser.isSet(versionOption())) {
        printLine(stdout, versionText());
        return 0;
    }
    return -1;
}

int parseOptionsOnly(QCommandLineParser &parser,
                     const QString &command,
                     const QStringList &arguments,
                     const QString &usage)
{
    if (const int status = parseCommand(parser, command, arguments, usage); status >= 0)
        return status;
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("%1 takes no argument '%2'")
                              .arg(command, parser.positionalArguments().first()),
                          usage);
    return -1;
}

namespace {

// Serve under systemd and scan from cron are followed in the log, not on a
// terminal: the settings' warnings go there too, whichever command read them.
void logWarnings(const Comm::Settings &settings, Process process)
{
    if (settings.warnings.isEmpty())
        return;
    SystemClock clock;
    StationLog log = stationLog(settings, clock, process);
    for (const QString &warning : settings.warnings)
        log.write(QStringLiteral("警告: ") + warning);
}

// Said only of a folder without settings; init is offered only where it
// would lay a station out, not over someone's other files.
QString noStation(const Comm::Settings &settings)
{
    const QString dir = settings.stationDir;
    const QFileInfo folder(dir);
    const QString init
        = QStringLiteral("。新しいステーションは tarvinex init %1 で作成してください").arg(dir);
    if (!folder.exists())
        return QStringLiteral(
                   "フォルダ %1 がありません（ステーションのフォルダの誤りでなければ、%2）")
            .arg(dir, init.mid(1));
    if (!folder.isDir())
        return QStringLiteral("%1 はフォルダではありません").arg(dir);
    const bool empty = QDir(dir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    return QStringLiteral("%1 にはステーションがありません（設定ファイル %2 がありません）")
               .arg(dir, settings.settingsFile())
        + (empty ? init : QString());
}

} // namespace

bool loadSettings(const QCommandLineParser &parser,
                  Process process,
                  Comm::Settings *settings,
                  StationChoice *choice,
                  QString *error,
                  const Comm::LoadOptions &options)
{
    *choice = chooseStation(parser.value(stationDirOption()), process);
    printLine(stdout, choice->line());
    QString problem;
    bool loaded = Comm::LoadSettings(choice->dir, settings, &problem, options);
    if (!loaded && !QFileInfo::exists(settings->settingsFile()))
        problem = noStation(*settings);
    if (loaded)
        loaded = Comm::checkSettings(*settings, &problem);
    for (const QString &warning : std::as_const(settings->warnings))
        printLine(stderr, QStringLiteral("tarvinex: 警告: ") + warning);
    if (loaded) {
        logWarnings(*settings, process);
        return true;
    }
    printLine(stderr, QStringLiteral("tarvinex: ") + problem);
    if (error)
        *error = problem;
    return false;
}

int checkDatabases(const Comm::Settings &settings,
                   Process process,
                   bool withImport,
                   QString *problem,
                   QStringList *made)
{
    DatabaseStart databases(settings, withImport);
    const DatabaseStart::Outcome outcome = databases.check();
    if (made)
        *made = databases.made();
    SystemClock clock;
    StationLog log = stationLog(settings, clock, process);
    for (const QString &line : databases.made()) {
        printLine(stdout, line);
        log.write(line);
    }
    if (outcome == DatabaseStart::Outcome::Ready)
        return 0;
    printLine(stderr, QStringLiteral("tarvinex: ") + databases.problem());
    log.write(databases.problem());
    if (problem)
        *problem = databases.problem();
    return outcome == DatabaseStart::Outcome::Unreachable ? 1 : 2;
}

bool enoughFreeSpace(const Comm::Settings &settings)
{
    const QString shortage = FreeSpaceFloor(settings).shortage();
    if (shortage.isEmpty())
        return true;
    printLine(stderr, QStringLiteral("tarvinex: ") + shortage);
    return false;
}

namespace {

// Long enough for a large product master to be applied.
constexpr int DefaultLockWaitSeconds = 600;

} // namespace

QCommandLineOption lockWaitOption()
{
    return QCommandLineOption(
        QStringLiteral("lock-wait"),
        QStringLiteral("Seconds to wait while another process applies master files (default %1).")
            .arg(DefaultLockWaitSeconds),
        QStringLiteral("SECONDS"),
        QString::number(DefaultLockWaitSeconds));
}

bool takeMastersLock(const QCommandLineParser &parser, StationLock *lock)
{
    bool ok = false;
    const int seconds = parser.value(lockWaitOption()).toInt(&ok);
    if (!ok || seconds < 0 || seconds > 24 * 3600) {
        printLine(stderr,
                  QStringLiteral("tarvinex: --lock-wait: not a number of seconds: ")
                      + parser.value(lockWaitOption()));
        return false;
    }
    QString problem;
    if (lock->take(seconds * 1000, &problem))
        return true;
    printLine(stderr,
              (lock->error() == QLockFile::LockFailedError
                   ? QStringLiteral("tarvinex: master files are being applied by another process: ")
                   : QStringLiteral("tarvinex: master files cannot be applied: "))
                  + problem);
    return false;
}

bool takeStationLock(StationLock *lock, QString *error)
{
    QString holder;
    if (lock->take(0, &holder))
        return true;
    const QString problem = (lock->error() == QLockFile::LockFailedError
                                 ? QStringLiteral("tarvinex: the station is already running: ")
                                 : QStringLiteral("tarvinex: the station cannot start: "))
        + holder;
    printLine(stderr, problem);
    if (error)
        *error = problem;
    return false;
}

int init(const QStringList &arguments)
{
    const QString usage = QStringLiteral(
        "usage: tarvinex init DIR [--db URI] [--import-db URI] [--host-group GROUP]\n"
        "                         [--link-key-file FILE] [--port N]");
    QCommandLineParser parser;
    const QCommandLineOption db(QStringLiteral("db"), QString(), QStringLiteral("URI"));
    const QCommandLineOption importDb(
        QStringLiteral("import-db"), QString(), QStringLiteral("URI"));
    const QCommandLineOption hostGroup(
        QStringLiteral("host-group"), QString(), QStringLiteral("GROUP"));
    const QCommandLineOption keyFile(
        QStringLiteral("link-key-file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    parser.addOptions({ db, importDb, hostGroup, keyFile, port });
    if (const int status = parseCommand(parser, QStringLiteral("init"), arguments, usage);
        status >= 0)
        return status;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("init takes one folder"), usage);
    QString message;
    AccessModel::HostGroup host;
    if (!AccessModel::findHostGroup(parser.value(hostGroup), &host, &message))
        return usageError(message, usage);
    // A chain's own key is read before anything is made, by the rules the
    // station reads its key file by.
    StationInit::Options options;
    // Read as PORT is, so that init never writes a value serve would refuse.
    if (quint16 chosen = 0; parser.isSet(port)) {
        if (!Comm::readPort(parser.value(port), &chosen)) {
            printLine(stderr,
                      QStringLiteral("tarvinex: --port の値が正しくありません: %1（%2）")
                          .arg(parser.value(port), QString::fromUtf8(Comm::PortValues)));
            return 2;
        }
        options.port = chosen;
    }
    if (parser.isSet(keyFile)) {
        Comm::LinkKeys given;
        if (!Comm::readLinkKeyFile(
                parser.value(keyFile), QDateTime::currentDateTimeUtc(), &given, &message)) {
            printLine(stderr, QStringLiteral("tarvinex: ") + message);
            return 2;
        }
        options.linkKey = given.current;
    } else {
        options.linkKey = Link::generateKey();
    }
    const QString dir = parser.positionalArguments().first();
    const StationInit::Databases databases { parser.value(db), parser.value(importDb) };
    switch (StationInit::run(dir, &message, databases, host, options)) {
    case StationInit::Result::Created: {
        printLine(stdout, message);
        const QString made = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
        const QString written = StationLayout::ofNewStation(made).linkKeyFile();
        for (const QString &line : parser.isSet(keyFile)
                 ? givenKeyLines(options.linkKey, parser.value(keyFile), written)
                 : newKeyLines(options.linkKey, written, made))
            printLine(stdout, line);
        return 0;
    }
    case StationInit::Result::Refused:
        printLine(stderr, message);
        return 2;
    case StationInit::Result::Failed:
        break;
    }
    printLine(stderr, message);
    return 1;
}

} // namespace Cli
