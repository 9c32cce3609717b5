#pragma once

#include "TestClock.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "station/Station.h"
#include "base/StationLog.h"
#include "comm/CommServer.h"
#include "comm/LinkConfig.h"
#include "comm/TransferEvents.h"
#include "link/LinkFrame.h"
#include "link/LinkProtocol.h"
#include "link/TerminalClient.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// A real station on a loopback port, as the window runs it but with the test
// as its operator: the control, the station logic, the transfer events and
// the filing, over a station folder with terminals 1 to 11 laid out.
class LinkStation
{
public:
    using Tweak = std::function<void(CommServer::Config &)>;

    explicit LinkStation(const Tweak &tweak = {}, const UsbUnitFinder &units = {})
        : log(dir.path(), clock)
        , logged(op, log)
    {
        settings.stationDir = dir.path();
        settings.DataRoot = dir.path() + QStringLiteral("/data/");
        for (int t = 1; t <= 11; ++t) {
            const QString id = Comm::terminalId(t);
            QDir().mkpath(settings.DataRoot + id + QStringLiteral("/rcv"));
            QDir().mkpath(settings.DataRoot + id + QStringLiteral("/snd"));
            QDir().mkpath(settings.DataRoot + QStringLiteral("backup/") + id
                          + QStringLiteral("/snd"));
        }
        CommServer::Config config = linkConfig(settings);
        config.address = QHostAddress::LocalHost;
        config.port = 0;
        config.link.stallTimeoutMs = 5000;
        if (tweak)
            tweak(config);
        server = std::make_unique<CommServer>(config, logged, units);
        station = std::make_unique<Station>(*server, logged, log);
        transfers = std::make_unique<TransferEvents>(settings, logged, log, clock);
        station->handleTransfers(*transfers);
        // The one unit offered, if any, is taken.
        op.answer = units ? 0 : -1;
        QObject::connect(station.get(), &Station::statusLineChanged, [this](const QString &text) {
            statusLines.append(text);
        });
        station->load();
        op.shown.clear();
        statusLines.clear();
    }

    ~LinkStation()
    {
        transfers.reset();
        station.reset();
        server.reset();
    }

    quint16 port() const { return server->serverPort(); }
    QString path(const QString &name) const { return settings.stationDir + u'/' + name; }
    QString snd(int t) const
    {
        return settings.DataRoot + Comm::terminalId(t) + QStringLiteral("/snd/");
    }
    QString rcv(int t) const
    {
        return settings.DataRoot + Comm::terminalId(t) + QStringLiteral("/rcv/");
    }
    QStringList backups(int t) const
    {
        return QDir(settings.DataRoot + QStringLiteral("backup/") + Comm::terminalId(t)
                    + QStringLiteral("/snd"))
            .entryList(QDir::Files, QDir::Name);
    }
    // Every file in the station folder, temporary ones included.
    QStringList stationFiles() const
    {
        return QDir(settings.stationDir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QString logText() const
    {
        QFile file(log.currentFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir dir;
    Comm::Settings settings;
    TestClock clock;
    TestOperator op;
    StationLog log;
    LoggedOperator logged;
    std::unique_ptr<CommServer> server;
    std::unique_ptr<Station> station;
    std::unique_ptr<TransferEvents> transfers;
    QStringList statusLines;
};

// A terminal over loopback TCP, driven by the protocol client.
class LinkTerminal
{
public:
    LinkTerminal(quint16 port, int number, const QByteArray &key = {})
    {
        Link::TerminalClient::Options options;
        options.terminal = number;
        options.linkKey = key;
        options.stallTimeoutMs = 10000;
        client = std::make_unique<Link::TerminalClient>(&socket, options);
        QObject::connect(
            &socket, &QTcpSocket::connected, client.get(), &Link::TerminalClient::start);
        m_port = port;
    }

    // Begins the session with the steps given so far.
    void start() { socket.connectToHost(QHostAddress::LocalHost, m_port); }
    bool waitDone(int ms = 10000)
    {
        return QTest::qWaitFor([this] { return client->isFinished(); }, ms);
    }

    QTcpSocket socket;
    std::unique_ptr<Link::TerminalClient> client;

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

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}
