#include "CliImport.h"

#include "Cli.h"
#include "StationAccount.h"
#include "StationLock.h"
#include "StationState.h"
#include "base/Clock.h"
#include "base/Comm.h"
#include "base/StationLog.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterImport.h"

#include <QCommandLineParser>

namespace Cli {

namespace {

QString usageText()
{
    return QStringLiteral("usage: tarvinex import [--station-dir DIR] [--lock-wait SECONDS] "
                          "MASTER...\n"
                          "MASTER: ")
        + Masters::names().join(QStringLiteral(", "));
}

} // namespace

int importMasters(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOption(Cli::stationDirOption());
    parser.addOption(Cli::lockWaitOption());
    if (const int status = parseCommand(parser, QStringLiteral("import"), arguments, usageText());
        status >= 0)
        return status;
    const QStringList names = parser.positionalArguments();
    if (names.isEmpty())
        return usageError(QStringLiteral("import names no master"), usageText());

    // Every name is checked before anything is imported.
    QList<const Masters::Definition *> masters;
    for (const QString &name : names) {
        // The master's file is found whatever its letter case, so its name is
        // taken the same way; named twice, it is imported once.
        const Masters::Definition *master = Masters::find(name.toUpper());
        if (!master)
            return usageError(QStringLiteral("import names an unknown master '%1'").arg(name),
                              usageText());
        if (!masters.contains(master))
            masters.append(master);
    }

    if (!StationAccount::actForCommand(
            parser, Process::Import, QStringList { QStringLiteral("import") } + arguments))
        return 2;
    Comm::Settings settings;
    StationChoice station;
    if (!loadSettings(parser, Process::Import, &settings, &station))
        return 2;
    if (!enoughFreeSpace(settings))
        return LowSpaceStatus;
    QStringList made;
    if (const int status = checkDatabases(settings, Process::Import, true, nullptr, &made))
        return status;
    StationLock lock(settings.layout().mastersLockFile());
    if (!takeMastersLock(parser, &lock))
        return 2;

    SystemClock clock;
    StationLog log = stationLog(settings, clock, Process::Import);
    log.write(station.line());
    if (QString why; !StationState::recordMade(settings.layout(), made, clock.now(), &why))
        log.write(why);
    int status = 0;
    for (const Masters::Definition *master : std::as_const(masters)) {
        MasterImport import(settings.importDb, settings.importDir, clock);
        if (import.run(*master)) {
            const QString summary = MasterImport::summary(*master, import.counts());
            log.write(summary);
            printLine(stdout, summary);
        } else {
            log.write(import.error());
            printLine(stderr, QStringLiteral("tarvinex: ") + import.error());
            status = 1;
        }
    }
    return status;
}

} // namespace Cli
