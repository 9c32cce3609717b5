#pragma once

#include "Files.h"
#include "StationFolder.h"
#include "TestClock.h"
#include "TestOperator.h"
#include "link/LinkFrame.h"
#include "link/LinkProtocol.h"
#include "link/TerminalClient.h"
#include "station/Station.h"
#include "station/StationCore.h"
#include "tls/TerminalConnection.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// A real station on a loopback port, wired as the window and serve wire it
// (StationCore) but with the test as its operator, over a station folder
// laid out by init.
class LinkStation
{
public:
    // Adjusts the settings (maxFile, linkKey, ...) and what they do not say.
    using Tweak = std::function<void(Comm::Settings &, StationCore::LinkOptions &)>;

    explicit LinkStation(const Tweak &tweak = {}, const UsbUnitFinder &units = {})
        : folder(dir.path())
    {
        Comm::Settings settings = folder.settings;
        settings.port = 0; // the system picks a free one
        StationCore::LinkOptions link;
        link.addresses = { QHostAddress::LocalHost };
        link.stepDeadlineMs = 5000;
        if (tweak)
            tweak(settings, link);
        core = std::make_unique<StationCore>(settings, op, clock, units, link);
        server = &core->server();
        station = &core->station();
        // The one unit offered, if any, is taken.
        op.answer = units ? 0 : -1;
        QObject::connect(station, &Station::statusLineChanged, [this](const QString &text) {
            statusLines.append(text);
        });
        station->load();
        op.shown.clear();
        statusLines.clear();
    }

    quint16 port() const { return server->serverPort(); }
    QString path(const QString &name) const { return folder.path(name); }
    QString snd(int t) const { return folder.snd(t); }
    QString rcv(int t) const { return folder.rcv(t); }
    QString snd(int t, const QString &name) const { return folder.snd(t, name); }
    QString rcv(int t, const QString &name) const { return folder.rcv(t, name); }
    QString kept(int t) const { return folder.kept(t); }
    QString staged(int t, const QString &name) const { return folder.staged(t, name); }
    QStringList backups(int t) const { return folder.backups(t); }
    QStringList stationFiles() const { return folder.stationFiles(); }
    QString logText() const { return QString::fromUtf8(readFile(core->log().currentFile())); }

    QTemporaryDir dir;
    StationFolder folder;
    TestClock clock;
    TestOperator op;
    std::unique_ptr<StationCore> core;
    CommServer *server = nullptr;
    Station *station = nullptr;
    QStringList statusLines;
};

// A terminal over loopback TCP, driven by the protocol client: with a key
// inside TLS (version 2) unless told to speak plain frames and answer the
// challenge (version 1).
class LinkTerminal
{
public:
    enum class Over { Tls, Plain };

    LinkTerminal(quint16 port, int number, const QByteArray &key = {}, Over over = Over::Tls)
        : connection(number, over == Over::Tls ? key : QByteArray())
        , m_port(port)
    {
        Link::TerminalClient::Options options;
        options.terminal = number;
        options.version = connection.version();
        options.linkKey = key;
        options.stallTimeoutMs = 10000;
        client = std::make_unique<Link::TerminalClient>(
            connection.socket(), options, connection.wire());
        QObject::connect(
            &connection, &Tls::TerminalConnection::ready, client.get(), &Link::TerminalClient::start);
        QObject::connect(&connection,
                         &Tls::TerminalConnection::failed,
                         [this](const QString &why) { failure = why; });
    }

    // Begins the session with the steps given so far.
    void start() { connection.open(QStringLiteral("127.0.0.1"), m_port); }
    bool waitDone(int ms = 10000)
    {
        return QTest::qWaitFor([this] { return client->isFinished() || !failure.isEmpty(); },
                               ms);
    }
    // Why the connection, the handshake or the session failed.
    QString error() const { return failure.isEmpty() ? client->errorString() : failure; }

    Tls::TerminalConnection connection;
    std::unique_ptr<Link::TerminalClient> client;
    QString failure;

private:
    quint16 m_port = 0;
};

// A terminal that sends whatever frames (or bytes) the test makes, and
// collects what the station answers.
class RawTerminal
{
public:
    explicit RawTerminal(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            decoder.feed(socket.readAll());
            Link::Frame frame;
            QString error;
            while (decoder.next(&frame, &error) == Link::FrameDecoder::Result::Frame)
                frames.append(frame);
        });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(5000);
    }

    void send(quint8 type, const QByteArray &payload = {})
    {
        socket.write(Link::encodeFrame(type, payload));
    }
    bool hello(int terminal)
    {
        send(Link::Hello, Link::encodeHello({ Link::Version, quint16(terminal) }));
        return waitFor(Link::Welcome);
    }
    bool waitFor(quint8 type, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return has(type); }, ms);
    }
    bool has(quint8 type) const
    {
        for (const Link::Frame &f : frames) {
            if (f.type == type)
                return true;
        }
        return false;
    }
    // The code of the station's error, or 0.
    int errorCode() const
    {
        for (const Link::Frame &f : frames) {
            if (f.type == Link::Error)
                return int(Link::decodeError(f.payload)->code);
        }
        return 0;
    }

    QTcpSocket socket;
    Link::FrameDecoder decoder;
    QList<Link::Frame> frames;
    bool closed = false;
};
