// tarvinex-terminal: a terminal on the command line. It sends files to a
// station and fetches the masters staged for it, over TCP or a serial line.
// It chooses the link as a terminal's firmware must: with a link key, TLS and
// version 2 over TCP, the challenge in version 1 on a serial line; without
// one, plain version 1.

#include "base/Console.h"
#include "base/LinkKeyFile.h"
#include "base/Version.h"
#include "link/TerminalClient.h"
#include "tls/TerminalConnection.h"
#include "tls/TlsHeap.h"
#include "tls/TlsPsk.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const char *Usage
    = "usage: tarvinex-terminal [--host H] [--port N | --device PATH] --terminal T\n"
      "                         [--key KEY | --key-file FILE] send FILE... [--fetch DIR]\n"
      "       tarvinex-terminal [--host H] [--port N | --device PATH] --terminal T\n"
      "                         [--key KEY | --key-file FILE] fetch DIR\n"
      "\n"
      "send   uploads each FILE under its bare name; exits 0 once the station has\n"
      "       confirmed every file saved. With --fetch, then fetches in the same session.\n"
      "fetch  downloads the master CSVs staged for this terminal into DIR (made when\n"
      "       missing).\n"
      "\n"
      "The link key is --key, the first line of --key-file, or the environment\n"
      "variable TARVINEX_LINKKEY. With a key, TCP runs TLS and protocol version 2;\n"
      "a serial line runs version 1 and answers the station's challenge with it.\n"
      "Without a key, version 1 in plain frames.\n"
      "\n"
      "--timeout S bounds connecting, the TLS handshake included, and gives up after\n"
      "S seconds of silence from the station (default 60); --help, --version.\n"
      "\n"
      "Exit status: 0 done, 1 the station refused or the link failed, 2 usage error\n"
      "or an unreadable key file.";

int complain(int status, const QString &problem)
{
    printLine(stderr, QStringLiteral("tarvinex-terminal: ") + problem);
    return status;
}

int usage(const QString &problem)
{
    complain(2, problem);
    printLine(stderr, QString::fromLatin1(Usage));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    Tls::keepBuffersOnHeap();
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
    const QCommandLineOption keyFile(QStringLiteral("key-file"),
                                     QStringLiteral("File whose first line is the link key."),
                                     QStringLiteral("FILE"));
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
         { host, port, device, terminal, key, keyFile, fetchInto, timeout, help, version })
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

    // An option names the key for this run; the environment, a terminal's
    // standing one. An empty variable is no key.
    if (parser.isSet(key) && parser.isSet(keyFile))
        return usage(QStringLiteral("--key and --key-file exclude each other"));
    QByteArray linkKey = qgetenv("TARVINEX_LINKKEY");
    if (parser.isSet(key)) {
        linkKey = parser.value(key).toUtf8();
        if (linkKey.isEmpty())
            return usage(QStringLiteral("--key is empty"));
    } else if (parser.isSet(keyFile)) {
        // Read as the station reads its own, so a copy of its link.key serves.
        QString error;
        Comm::LinkKeys keys;
        if (!Comm::readLinkKeyFile(
                parser.value(keyFile), QDateTime::currentDateTimeUtc(), &keys, &error))
            return complain(2, error);
        linkKey = keys.current;
    }

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
        if (!QDir().mkpath(step.second))
            return complain(1, QStringLiteral("cannot create folder ") + step.second);
    }

    Link::TerminalClient::Options options;
    options.terminal = number;
    options.linkKey = linkKey;
    options.stallTimeoutMs = seconds * 1000;

    // The links outlive the client that speaks over them.
    std::unique_ptr<QSerialPort> serial;
    QTimer connecting;
    std::unique_ptr<Tls::TerminalConnection> connection;
    std::unique_ptr<Link::TerminalClient> client;
    QIODevice *link = nullptr;
    Link::Wire *linkWire = nullptr;
    const auto startSession = [&](QIODevice *opened, Link::Wire *wire) {
        link = opened;
        linkWire = wire;
        client = std::make_unique<Link::TerminalClient>(link, options, wire);
        for (const auto &step : std::as_const(steps)) {
            if (step.first)
                client->fetch(step.second);
            else
                client->put(step.second);
        }
        QObject::connect(client.get(), &Link::TerminalClient::saved, [](const QString &name) {
            printLine(stdout, QStringLiteral("saved ") + name);
        });
        QObject::connect(client.get(), &Link::TerminalClient::fetched, [](const QString &name) {
            printLine(stdout, QStringLiteral("fetched ") + name);
        });
        QObject::connect(
            client.get(),
            &Link::TerminalClient::finished,
            [&client, &steps](bool done, const QString &error) {
                if (!done)
                    complain(1, error);
                // A fetch that brought nothing says so, lest silence read as a hang.
                const bool fetching = std::any_of(
                    steps.cbegin(), steps.cend(), [](const auto &step) { return step.first; });
                if (done && fetching && client->fetchedFiles().isEmpty())
                    printLine(stdout, QStringLiteral("nothing staged: 0 files fetched"));
                QCoreApplication::exit(done ? 0 : 1);
            });
        client->start();
    };

    if (parser.isSet(device)) {
        // TLS cannot run on a serial line; there the key answers the
        // station's challenge in version 1, and a station that does not
        // challenge a keyed terminal is refused.
        serial = std::make_unique<QSerialPort>(parser.value(device));
        serial->setBaudRate(115200);
        serial->setFlowControl(QSerialPort::NoFlowControl);
        if (!serial->open(QIODevice::ReadWrite))
            return complain(1,
                            QStringLiteral("cannot open %1: %2")
                                .arg(parser.value(device), serial->errorString()));
        QTimer::singleShot(0, [&] { startSession(serial.get(), nullptr); });
    } else {
        const uint portNumber = parser.value(port).toUInt(&ok);
        if (!ok || portNumber == 0 || portNumber > 65535)
            return usage(QStringLiteral("--port must be a port number"));
        QString why;
        if (!linkKey.isEmpty() && !Tls::available(&why))
            return complain(1, why);
        connection = std::make_unique<Tls::TerminalConnection>(number, linkKey);
        options.version = connection->version();
        const QString station = QStringLiteral("%1:%2").arg(parser.value(host)).arg(portNumber);
        QObject::connect(connection.get(), &Tls::TerminalConnection::ready, [&] {
            connecting.stop();
            startSession(connection->socket(), connection->wire());
        });
        QObject::connect(
            connection.get(),
            &Tls::TerminalConnection::failed,
            [&, station](const QString &reason) {
                connecting.stop();
                complain(1, QStringLiteral("cannot connect to %1: %2").arg(station, reason));
                QCoreApplication::exit(1);
            });
        connecting.setSingleShot(true);
        QObject::connect(&connecting, &QTimer::timeout, [&, station] {
            const bool connected = connection->socket()->state() == QAbstractSocket::ConnectedState;
            complain(1,
                     QStringLiteral("cannot connect to %1: %2 within %3 s")
                         .arg(station,
                              connected ? QStringLiteral("the TLS handshake did not finish")
                                        : QStringLiteral("no connection"))
                         .arg(seconds));
            QCoreApplication::exit(1);
        });
        connection->open(parser.value(host), quint16(portNumber));
        connecting.start(seconds * 1000);
    }

    const int status = QCoreApplication::exec();
    // The last frame (an error or the goodbye) leaves before the line closes;
    // over TLS it may wait below the socket as an encrypted record.
    if (link && (linkWire ? linkWire->queued() : link->bytesToWrite()) > 0)
        link->waitForBytesWritten(1000);
    return status;
}
