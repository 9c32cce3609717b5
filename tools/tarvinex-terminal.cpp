// tarvinex-terminal: a terminal on the command line. It sends files to a
// station and fetches the masters staged for it, over TCP or a serial line.

#include "base/Console.h"
#include "base/Version.h"
#include "link/TerminalClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

const char *Usage
    = "usage: tarvinex-terminal [--host H] [--port N | --device PATH] --terminal T [--key KEY]\n"
      "                         send FILE... [--fetch DIR]\n"
      "       tarvinex-terminal [--host H] [--port N | --device PATH] --terminal T [--key KEY]\n"
      "                         fetch DIR\n"
      "\n"
      "send   uploads each FILE under its bare name; exits 0 once the station has\n"
      "       confirmed every file saved. With --fetch, then fetches in the same session.\n"
      "fetch  downloads the master CSVs staged for this terminal into DIR (made when\n"
      "       missing).\n"
      "\n"
      "--timeout S gives up after S seconds of silence (default 60); --help, --version.\n"
      "\n"
      "The link key may also come from the environment variable TARVINEX_LINKKEY.\n"
      "Exit status: 0 done, 1 the station refused or the link failed, 2 usage error.";

int usage(const QString &problem)
{
    if (!problem.isEmpty())
        printLine(stderr, QStringLiteral("tarvinex-terminal: ") + problem);
    printLine(stderr, QString::fromLatin1(Usage));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption host(QStringLiteral("host"),
                                  QStringLiteral("Station host."),
                                  QStringLiteral("H"),
                                  QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Station TCP port."),
                                  QStringLiteral("N"),
                                  QStringLiteral("50211"));
    const QCommandLineOption device(
        QStringLiteral("device"), QStringLiteral("Serial line."), QStringLiteral("PATH"));
    const QCommandLineOption terminal(QStringLiteral("terminal"),
                                      QStringLiteral("Terminal number, 1 to 9999."),
                                      QStringLiteral("T"));
    const QCommandLineOption key(
        QStringLiteral("key"), QStringLiteral("Link key."), QStringLiteral("KEY"));
    const QCommandLineOption fetchInto(QStringLiteral("fetch"),
                                       QStringLiteral("After sending, fetch into DIR."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Seconds of silence before giving up."),
                                     QStringLiteral("S"),
                                     QStringLiteral("60"));
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringLiteral("version"));
    for (const QCommandLineOption &option :
         { host, port, device, terminal, key, fetchInto, timeout, help, version })
        parser.addOption(option);
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        printLine(stdout, QString::fromLatin1(Usage));
        return 0;
    }
    if (parser.isSet(version)) {
        printLine(stdout, QStringLiteral("tarvinex-terminal ") + QLatin1String(Tarvinex::Version));
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command.isEmpty())
        return usage(QStringLiteral("no command given (send or fetch)"));
    if (command != QLatin1String("send") && command != QLatin1String("fetch"))
        return usage(QStringLiteral("unknown command '%1' (send or fetch)").arg(command));
    bool ok = false;
    const int number = parser.value(terminal).toInt(&ok);
    if (!ok || number < Link::MinTerminal || number > Link::MaxTerminal)
        return usage(QStringLiteral("--terminal must be a number from 1 to 9999"));
    if (parser.isSet(device) && parser.isSet(port))
        return usage(QStringLiteral("--port and --device exclude each other"));
    const int seconds = parser.value(timeout).toInt(&ok);
    if (!ok || seconds <= 0)
        return usage(QStringLiteral("--timeout must be a positive number of seconds"));

    Link::TerminalClient::Options options;
    options.terminal = number;
    options.linkKey = parser.isSet(key) ? parser.value(key).toUtf8() : qgetenv("TARVINEX_LINKKEY");
    options.stallTimeoutMs = seconds * 1000;

    QList<std::pair<bool, QString>> steps; // fetch?, path
    if (command == QLatin1String("send") && args.size() >= 2) {
        for (const QString &file : args.mid(1)) {
            const QFileInfo info(file);
            if (info.isDir())
                return usage(QStringLiteral("%1 is a folder; send takes files").arg(file));
            if (!info.isFile())
                return usage(QStringLiteral("no such file: ") + file);
            steps.append({ false, file });
        }
        if (parser.isSet(fetchInto))
            steps.append({ true, parser.value(fetchInto) });
    } else if (command == QLatin1String("fetch") && args.size() == 2) {
        steps.append({ true, args.at(1) });
    } else {
        return usage(command == QLatin1String("send") ? QStringLiteral("send needs a FILE")
                                                      : QStringLiteral("fetch needs one DIR"));
    }
    // The folder fetched into is made when missing, as a terminal's own
    // master folder would be.
    for (const auto &step : std::as_const(steps)) {
        if (!step.first)
            continue;
        if (QFileInfo(step.second).exists() && !QFileInfo(step.second).isDir())
            return usage(QStringLiteral("%1 is not a folder").arg(step.second));
        if (!QDir().mkpath(step.second)) {
            printLine(stderr,
                      QStringLiteral("tarvinex-terminal: cannot create folder ") + step.second);
            return 1;
        }
    }

    std::unique_ptr<QIODevice> link;
    if (parser.isSet(device)) {
        auto serial = std::make_unique<QSerialPort>(parser.value(device));
        serial->setBaudRate(115200);
        serial->setFlowControl(QSerialPort::NoFlowControl);
        if (!serial->open(QIODevice::ReadWrite)) {
            printLine(stderr,
                      QStringLiteral("tarvinex-terminal: cannot open %1: %2")
                          .arg(parser.value(device), serial->errorString()));
            return 1;
        }
        link = std::move(serial);
    } else {
        const uint portNumber = parser.value(port).toUInt(&ok);
        if (!ok || portNumber == 0 || portNumber > 65535)
            return usage(QStringLiteral("--port must be a port number"));
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(parser.value(host), quint16(portNumber));
        if (!socket->waitForConnected(seconds * 1000)) {
            printLine(stderr,
                      QStringLiteral("tarvinex-terminal: cannot connect to %1:%2: %3")
                          .arg(parser.value(host))
                          .arg(portNumber)
                          .arg(socket->errorString()));
            return 1;
        }
        link = std::move(socket);
    }

    Link::TerminalClient client(link.get(), options);
    for (const auto &step : std::as_const(steps)) {
        if (step.first)
            client.fetch(step.second);
        else
            client.put(step.second);
    }
    QObject::connect(&client, &Link::TerminalClient::saved, [](const QString &name) {
        printLine(stdout, QStringLiteral("saved ") + name);
    });
    QObject::connect(&client, &Link::TerminalClient::fetched, [](const QString &name) {
        printLine(stdout, QStringLiteral("fetched ") + name);
    });
    QObject::connect(&client, &Link::TerminalClient::finished, [](bool done, const QString &error) {
        if (!done)
            printLine(stderr, QStringLiteral("tarvinex-terminal: ") + error);
        QCoreApplication::exit(done ? 0 : 1);
    });
    QTimer::singleShot(0, &client, &Link::TerminalClient::start);
    const int status = QCoreApplication::exec();
    // The last frame (an error or the goodbye) leaves before the line closes.
    link->waitForBytesWritten(1000);
    return status;
}
