#include "base/AccessModel.h"
#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Console.h"
#include "gui/MianMenu.h"
#include "gui/WidgetOperator.h"
#include "gui/WindowStation.h"
#include "station/Cli.h"
#include "station/CliImport.h"
#include "station/FirstStart.h"
#include "station/KeyCommand.h"
#include "station/PermissionsCommand.h"
#include "station/ScanCommand.h"
#include "station/Serve.h"
#include "station/Station.h"
#include "station/StationLock.h"
#include "station/StatusCommand.h"
#include "tls/TlsHeap.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileDialog>

#include <optional>

#include <sys/stat.h>

namespace {

// Qt aborts the process when it finds no display; a settings error must still
// reach whoever started the window from a shell.
bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty())
        return platform != "offscreen" && platform != "minimal";
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

QStringList argumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// The command line is read before any window is made, so that --help,
// --version and a usage error need no display.
int runWindow(int argc, char **argv)
{
    QCommandLineParser parser;
    parser.addOption(Cli::stationDirOption());
    const QStringList arguments = argumentList(argc, argv).mid(1);
    if (const int status
        = Cli::parseCommand(parser, QStringLiteral("tarvinex"), arguments, Cli::helpText());
        status >= 0)
        return status;
    if (!parser.positionalArguments().isEmpty())
        return Cli::usageError(
            QStringLiteral("unknown command '%1'").arg(parser.positionalArguments().first()),
            Cli::helpText());

    // The screen is opened before the settings are read only when it is
    // needed: a first start's offer, or a message that stops the window (it
    // has gone to standard error already).
    std::optional<QApplication> app;
    std::optional<WidgetOperator> screen;
    const auto openScreen = [&] {
        if (app)
            return;
        app.emplace(argc, argv);
        QApplication::setApplicationName(WidgetOperator::applicationTitle());
        screen.emplace();
    };
    const auto refuse = [&](const QString &text) {
        if (!hasDisplay())
            return 2;
        openScreen();
        screen->message(text);
        screen->waitUntilAcknowledged();
        return 2;
    };

    // A first start from the desktop: no station in the folder yet. The
    // operator makes one here, never on a command line.
    QCommandLineParser madeHere;
    const QCommandLineParser *chosen = &parser;
    const QString folder
        = Cli::chooseStation(parser.value(Cli::stationDirOption()), Cli::Process::Window).dir;
    if (const QString why = FirstStart::unreadable(folder); !why.isEmpty()) {
        printLine(stderr, QStringLiteral("tarvinex: ") + why);
        return refuse(why);
    }
    if (hasDisplay() && FirstStart::wanted(folder)) {
        openScreen();
        const QString made = FirstStart::offer(*screen, folder, [] {
            return QFileDialog::getExistingDirectory(nullptr, FirstStart::caption());
        });
        if (made.isEmpty()) {
            screen->waitUntilAcknowledged();
            return 2;
        }
        madeHere.addOption(Cli::stationDirOption());
        madeHere.parse({ QStringLiteral("tarvinex"), QStringLiteral("--station-dir"), made });
        chosen = &madeHere;
    }

    Comm::Settings settings;
    Cli::StationChoice choice;
    QString error;
    if (!Cli::loadSettings(*chosen, Cli::Process::Window, &settings, &choice, &error))
        return refuse(error);
    // A server down is told and tried again at each scan; the window starts.
    QString databaseProblem;
    QStringList made;
    const int databases
        = Cli::checkDatabases(settings, Cli::Process::Window, true, &databaseProblem, &made);
    if (databases == 2)
        return refuse(databaseProblem);
    StationLock running(settings.layout().stationLockFile());
    if (!Cli::takeStationLock(&running, &error))
        return refuse(error);

    openScreen();
    SystemClock clock;
    WindowStation station(settings, *screen, clock);
    station.log().write(choice.line());
    station.core().noteMade(made);
    if (databases != 0) {
        screen->message(databaseProblem);
        station.core().retryDatabases(true);
    }
    int status = 0;
    if (station.load()) {
        screen->setParentWindow(&station.window());
        station.window().show();
        status = app->exec();
    } else if (!station.station().isQuitting()) {
        status = 1; // it could not listen; the port may come free
    }
    // The station has stopped; its last messages are read before it ends.
    screen->waitUntilAcknowledged();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // Whoever starts it, with whatever umask: what the station creates
    // carries the access model's modes.
    umask(AccessModel::Umask);
    Tls::keepBuffersOnHeap();
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
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
    if (command == QLatin1String("permissions"))
        return Cli::permissions(arguments);
    if (command == QLatin1String("key"))
        return Cli::key(arguments);
    if (command == QLatin1String("status"))
        return Cli::status(arguments);
    return Cli::usageError(QStringLiteral("unknown command '%1'").arg(command), Cli::helpText());
}
