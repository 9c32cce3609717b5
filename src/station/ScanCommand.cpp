#include "ScanCommand.h"

#include "Cli.h"
#include "StationAccount.h"
#include "StationLock.h"
#include "StationState.h"
#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Operator.h"
#include "base/StationLog.h"
#include "masters/MasterScan.h"

#include <QCommandLineParser>

namespace {

// Nobody watches a scan run from cron or by hand but its error output: what
// would be a message box is a line there.
class ErrorOutputOperator : public Operator
{
public:
    void message(const QString &text) override { printLine(stderr, text); }
    void information(const QString &caption, const QString &text) override
    {
        printLine(stderr, caption + QStringLiteral(": ") + text);
    }
    int choose(const QString &, const QString &, const QStringList &) override { return -1; }
};

} // namespace

namespace Cli {

namespace {
constexpr int WaitingStatus = 3;
}

int scan(const QStringList &arguments)
{
    const QString usage = QStringLiteral(
        "usage: tarvinex scan [--station-dir DIR] [--verbose] [--lock-wait SECONDS]");
    QCommandLineParser parser;
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    parser.addOption(Cli::stationDirOption());
    parser.addOption(verbose);
    parser.addOption(Cli::lockWaitOption());
    if (const int status = parseOptionsOnly(parser, QStringLiteral("scan"), arguments, usage);
        status >= 0)
        return status;

    if (!StationAccount::actForCommand(
            parser, Process::Scan, QStringList { QStringLiteral("scan") } + arguments))
        return 2;
    Comm::Settings settings;
    StationChoice station;
    if (!loadSettings(parser, Process::Scan, &settings, &station))
        return 2;
    if (!enoughFreeSpace(settings))
        return LowSpaceStatus;
    QStringList made;
    if (const int status = checkDatabases(settings, Process::Scan, false, nullptr, &made))
        return status;
    StationLock lock(settings.layout().mastersLockFile());
    if (!takeMastersLock(parser, &lock))
        return 2;

    SystemClock clock;
    StationLog log = stationLog(settings, clock, Process::Scan);
    log.write(station.line());
    if (QString why; !StationState::recordMade(settings.layout(), made, clock.now(), &why))
        log.write(why);
    if (parser.isSet(verbose)) {
        const StationLayout layout = settings.layout();
        for (int terminal = StationLayout::FirstTerminal; terminal <= StationLayout::LastTerminal;
             ++terminal)
            printLine(stdout, QStringLiteral("looking in ") + layout.receiveFolder(terminal));
    }
    ErrorOutputOperator errorOutput;
    LoggedOperator op(errorOutput, log);
    MasterScan masterScan(settings, op, log, clock);
    masterScan.keepNoticesIn(settings.layout().namedTodayFile());
    bool allApplied = true;
    bool someWaiting = false;
    const QList<MasterScan::Outcome> outcomes = masterScan.run();
    if (QString why; !StationState::recordApplies(settings.layout(), outcomes, clock.now(), &why))
        log.write(why);
    for (const MisplacedFiles::Entry &entry : masterScan.misplaced())
        printLine(stdout,
                  entry.meant.isEmpty()
                      ? QStringLiteral("not taken: %1 (not a terminal folder)").arg(entry.path)
                      : QStringLiteral("not taken: %1 (master files are named %2)")
                            .arg(entry.path, entry.meant));
    // Silence would look the same as a wrong station folder.
    if (outcomes.isEmpty())
        printLine(stdout, QStringLiteral("nothing waiting"));
    for (const MasterScan::Outcome &outcome : outcomes) {
        if (outcome.waiting) {
            someWaiting = true;
            printLine(stdout,
                      QStringLiteral("%1 %2: waiting, still being written")
                          .arg(outcome.terminalId, outcome.master));
            continue;
        }
        if (!outcome.applied()) {
            allApplied = false;
            continue;
        }
        printLine(stdout,
                  QStringLiteral("%1 %2: %3 lines read, %4 rows added, %5 rows updated")
                      .arg(outcome.terminalId, outcome.master)
                      .arg(outcome.result.linesRead)
                      .arg(outcome.result.rowsAdded)
                      .arg(outcome.result.rowsUpdated));
    }
    // A file being written is no failure, but a script scanning after its
    // copy must learn that the copy was not applied yet.
    if (!allApplied)
        return 1;
    return someWaiting ? WaitingStatus : 0;
}

} // namespace Cli
