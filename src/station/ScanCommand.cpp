#include "ScanCommand.h"

#include "Cli.h"
#include "StationLock.h"
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

int scan(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOption(Cli::stationDirOption());
    parser.addOption(Cli::lockWaitOption());
    if (!parser.parse(QStringList { QStringLiteral("scan") } + arguments)
        || !parser.positionalArguments().isEmpty()) {
        printLine(stderr,
                  QStringLiteral("usage: tarvinex scan [--station-dir DIR] [--lock-wait SECONDS]"));
        return 2;
    }

    Comm::Settings settings;
    if (!loadSettings(parser, &settings))
        return 2;
    StationLock lock(settings.layout().mastersLockFile());
    if (!takeMastersLock(parser, &lock))
        return 2;

    SystemClock clock;
    StationLog log(settings.stationDir, clock);
    ErrorOutputOperator errorOutput;
    LoggedOperator op(errorOutput, log);
    MasterScan masterScan(settings, op, log);
    bool allApplied = true;
    for (const MasterScan::Outcome &outcome : masterScan.run()) {
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
    return allApplied ? 0 : 1;
}

} // namespace Cli
