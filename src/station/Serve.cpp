#include "Serve.h"

#include "Cli.h"
#include "ServiceNotifier.h"
#include "Station.h"
#include "StationCore.h"
#include "StationLock.h"
#include "base/Clock.h"
#include "base/Comm.h"
#include "base/LinkExposure.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace Cli {

namespace {

int signalPipe[2] = { -1, -1 };

// How long a stopping station waits for terminals to take its last word.
constexpr int StopGraceMs = 3000;

void onSignal(int)
{
    const char byte = 1;
    if (::write(signalPipe[1], &byte, 1) < 0) {
        // Nothing can be done inside a signal handler.
    }
}

UsbUnit configuredUnit(const QString &value)
{
    const QString location = value.startsWith(u'/') ? value : QStringLiteral("/dev/") + value;
    UsbUnit unit;
    unit.portName = QFileInfo(location).fileName();
    unit.systemLocation = location;
    return unit;
}

} // namespace

int serve(const QStringList &arguments)
{
    const QString usage = QStringLiteral(
        "usage: tarvinex serve [--station-dir DIR] [--port N] [--listen ADDRESSES]\n"
        "ADDRESSES: any, loopback, or IP addresses separated by commas");
    QCommandLineParser parser;
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("TCP port instead of PORT."), QStringLiteral("N"));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Addresses instead of LISTEN."),
                                          QStringLiteral("ADDRESSES"));
    parser.addOption(Cli::stationDirOption());
    parser.addOption(portOption);
    parser.addOption(listenOption);
    if (const int status = parseOptionsOnly(parser, QStringLiteral("serve"), arguments, usage);
        status >= 0)
        return status;

    // In place of LISTEN before the settings are checked, so that a station
    // without a key is refused beyond loopback whichever of them says so.
    Comm::LoadOptions options;
    if (parser.isSet(listenOption)
        && !Comm::readListen(parser.value(listenOption), &options.listen)) {
        printLine(stderr,
                  QStringLiteral("tarvinex: --listen の値が正しくありません: %1（%2）")
                      .arg(parser.value(listenOption), QString::fromUtf8(Comm::ListenValues)));
        return 2;
    }
    Comm::Settings settings;
    StationChoice choice;
    if (!loadSettings(parser, Process::Serve, &settings, &choice, nullptr, options))
        return 2;
    if (parser.isSet(portOption) && !Comm::readPort(parser.value(portOption), &settings.port)) {
        printLine(stderr,
                  QStringLiteral("tarvinex: --port の値が正しくありません: %1（%2）")
                      .arg(parser.value(portOption), QString::fromUtf8(Comm::PortValues)));
        return 2;
    }

    // A server down at boot must not keep the service down: it is told, and
    // tried again at each scan.
    QStringList made;
    const int databases = checkDatabases(settings, Process::Serve, false, nullptr, &made);
    if (databases == 2)
        return 2;

    StationLock running(settings.layout().stationLockFile());
    if (!takeStationLock(&running))
        return 2;

    SystemClock clock;
    ConsoleOperator console;
    const QString unit = settings.unit;
    UsbUnitFinder findUnits = [unit]() -> QList<UsbUnit> {
        if (unit.isEmpty())
            return {};
        return { configuredUnit(unit) };
    };
    StationCore core(settings, console, clock, findUnits, {}, Process::Serve);
    core.log().write(choice.line());
    core.noteMade(made);
    if (databases != 0)
        core.retryDatabases(false);
    CommServer &server = core.server();
    Station &station = core.station();
    // Without a serial unit set, terminals come over TCP only: nothing to report.
    station.setSerialUnitWanted(!unit.isEmpty());
    // Every line of the log, the operator's messages and the work done alike,
    // is printed too: under the unit, the journal tells the whole story.
    // The last of them is the unit's status line in systemctl.
    ServiceNotifier systemd;
    core.log().setEcho([&systemd](const QString &line) {
        printLine(stdout, line);
        systemd.status(line);
    });
    QObject::connect(&station, &Station::quitRequested, [] { QCoreApplication::exit(1); });

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        printLine(stderr, QStringLiteral("tarvinex: cannot set up signal handling"));
        return 1;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&server, &systemd] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) < 0) {
            // The notifier fired; the byte itself tells nothing.
        }
        systemd.stopping();
        // Ending listening ends every session and removes partial files.
        // Connected and waiting terminals are told the station is stopping
        // (error 13); the process ends once that has gone out, or after a
        // short while for a terminal that does not take it.
        server.setListening(false);
        if (!server.hasConnections()) {
            QCoreApplication::exit(0);
            return;
        }
        QObject::connect(
            &server, &CommServer::connectionsClosed, [] { QCoreApplication::exit(0); });
        QTimer::singleShot(StopGraceMs, [] { QCoreApplication::exit(0); });
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    station.load();
    int status = 1;
    if (!station.isQuitting() && server.Listening()) {
        const QString listening = QStringLiteral("待ち受け中: ポート %1, %2")
                                      .arg(server.serverPort())
                                      .arg(settings.stationDir);
        printLine(stdout, listening);
        systemd.status(listening);
        systemd.ready();
        status = QCoreApplication::exec();
    }
    server.setListening(false);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
    return status;
}

} // namespace Cli
