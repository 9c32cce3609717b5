#include "base/Clock.h"
#include "base/Comm.h"
#include "gui/MianMenu.h"
#include "gui/WidgetOperator.h"
#include "gui/WindowStation.h"
#include "station/Cli.h"
#include "station/CliImport.h"
#include "station/ScanCommand.h"
#include "station/Serve.h"
#include "station/StationLock.h"

#include <QApplication>
#include <QCommandLineParser>

namespace {

int runWindow(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(WidgetOperator::applicationTitle());

    QCommandLineParser parser;
    const QCommandLineOption helpOption(
        QStringList { QStringLiteral("h"), QStringLiteral("help") });
    parser.addOption(Cli::stationDirOption());
    parser.addOption(helpOption);
    if (!parser.parse(QApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        printLine(stderr, parser.errorText() + u'\n');
        printLine(stderr, Cli::helpText());
        return 2;
    }
    if (parser.isSet(helpOption)) {
        printLine(stdout, Cli::helpText());
        return 0;
    }

    WidgetOperator screen;
    Comm::Settings settings;
    QString error;
    if (!Cli::loadSettings(parser, &settings, &error)) {
        screen.message(error);
        screen.waitUntilAcknowledged();
        return 2;
    }
    StationLock running(settings.layout().stationLockFile());
    if (!Cli::takeStationLock(&running, &error)) {
        printLine(stderr, error);
        screen.message(error);
        screen.waitUntilAcknowledged();
        return 2;
    }

    SystemClock clock;
    WindowStation station(settings, screen, clock);
    int status = 0;
    if (station.load()) {
        screen.setParentWindow(&station.window());
        station.window().show();
        status = app.exec();
    }
    // The station has stopped; its last messages are read before it ends.
    screen.waitUntilAcknowledged();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        printLine(stdout, Cli::helpText());
        return 0;
    }
    if (command.isEmpty() || command.startsWith(u'-'))
        return runWindow(argc, argv);

    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(2);
    if (command == QLatin1String("init"))
        return Cli::init(arguments);
    if (command == QLatin1String("import"))
        return Cli::importMasters(arguments);
    if (command == QLatin1String("serve"))
        return Cli::serve(arguments);
    if (command == QLatin1String("scan"))
        return Cli::scan(arguments);
    printLine(stderr, QStringLiteral("tarvinex: unknown command '%1'\n").arg(command));
    printLine(stderr, Cli::helpText());
    return 2;
}
