#include "LinkStation.h"

#include "link/LinkKey.h"

#include <QRegularExpression>
#include <QTcpServer>

using namespace Link;

namespace {

QString outboxFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    writeFile(path, content);
    return path;
}

// Relays a terminal's connection to the station and, once, changes what the
// terminal sends at an offset well past the handshake.
class TamperingProxy
{
public:
    enum class Change { None, Flip, Drop, Inject, Replay };

    TamperingProxy(quint16 stationPort, Change change, qint64 at)
        : m_change(change)
        , m_at(at)
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this, stationPort] {
            m_terminal = server.nextPendingConnection();
            m_station.connectToHost(QHostAddress::LocalHost, stationPort);
            QObject::connect(m_terminal, &QTcpSocket::readyRead, [this] { relay(); });
            QObject::connect(&m_station, &QTcpSocket::connected, [this] { relay(); });
            QObject::connect(&m_station, &QTcpSocket::readyRead, [this] {
                m_terminal->write(m_station.readAll());
            });
            QObject::connect(&m_station, &QTcpSocket::disconnected, [this] {
                m_terminal->disconnectFromHost();
            });
        });
    }

    QTcpServer server;

private:
    void relay()
    {
        if (m_station.state() != QAbstractSocket::ConnectedState)
            return;
        QByteArray bytes = m_terminal->readAll();
        const qint64 from = m_passed;
        m_passed += bytes.size();
        if (m_change != Change::None && from <= m_at && m_at < m_passed) {
            const qsizetype i = qsizetype(m_at - from);
            switch (m_change) {
            case Change::Flip:
                bytes[i] = char(bytes[i] ^ 0x01);
                break;
            case Change::Drop:
                bytes.remove(i, 1);
                break;
            case Change::Inject:
                bytes.insert(i, 'x');
                break;
            case Change::Replay:
                bytes.insert(i, m_seen.right(64));
                break;
            case Change::None:
                break;
            }
            m_change = Change::None;
        }
        m_seen = (m_seen + bytes).right(4096);
        m_station.write(bytes);
    }

    Change m_change;
    qint64 m_at;
    qint64 m_passed = 0;
    QByteArray m_seen;
    QTcpSocket *m_terminal = nullptr;
    QTcpSocket m_station;
};

LinkStation::Tweak keyed(const QByteArray &key)
{
    return [key](Comm::Settings &settings, StationCore::LinkOptions &) {
        settings.linkKey = key;
    };
}

} // namespace

class TestSecureLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aKeyedTerminalIsServedInsideTls()
    {
        const QByteArray key = generateKey();
        LinkStation s(keyed(key));
        QTemporaryDir out;
        // Typed as an operator might, in lower case and without dashes.
        LinkTerminal t(s.port(), 3, canonicalKey(key).toLower());
        t.client->put(outboxFile(out, QStringLiteral("S_HACH.dat"), "QTY=0001"));
        t.client->fetch(out.filePath(QStringLiteral("masters")));
        t.start();
        QVERIFY(t.waitDone());
        QVERIFY2(t.client->succeeded(), qPrintable(t.error()));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("QTY=0001"));
        QVERIFY(s.logText().contains(QStringLiteral("端末 3 (127.0.0.1")));
    }

    void aTerminalRefusesAStationWithoutItsKey_data()
    {
        QTest::addColumn<QByteArray>("stationKey");
        QTest::newRow("station without a key") << QByteArray();
        QTest::newRow("station with another key") << generateKey();
    }
    void aTerminalRefusesAStationWithoutItsKey()
    {
        QFETCH(QByteArray, stationKey);
        LinkStation s(keyed(stationKey));
        QTemporaryDir out;
        LinkTerminal t(s.port(), 3, "sesame-but-not-quite");
        t.client->put(outboxFile(out, QStringLiteral("S_HACH.dat"), "order"));
        t.start();
        QVERIFY(t.waitDone());
        QVERIFY(!t.client->succeeded());
        QVERIFY2(t.error().contains(QStringLiteral("handshake")), qPrintable(t.error()));
        QCOMPARE(s.stationFiles(), QStringList());
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("(missing)"));
        // The station names who tried.
        QTRY_VERIFY(s.logText().contains(QRegularExpression(
            QStringLiteral("(TLS ハンドシェイク失敗|接続終了) 127\\.0\\.0\\.1:\\d+"))));
    }

    void alteredBytesEndTheSessionWithNothingFiled_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("a bit flipped") << int(TamperingProxy::Change::Flip);
        QTest::newRow("a byte dropped") << int(TamperingProxy::Change::Drop);
        QTest::newRow("a byte injected") << int(TamperingProxy::Change::Inject);
        QTest::newRow("a record replayed") << int(TamperingProxy::Change::Replay);
    }
    void alteredBytesEndTheSessionWithNothingFiled()
    {
        QFETCH(int, change);
        const QByteArray key = generateKey();
        LinkStation s(keyed(key));
        // Far past the handshake, inside the order's data.
        TamperingProxy proxy(s.port(), TamperingProxy::Change(change), 100000);
        QTemporaryDir out;
        LinkTerminal t(proxy.server.serverPort(), 3, key);
        t.client->put(outboxFile(out, QStringLiteral("S_HACH.dat"), QByteArray(300000, '1')));
        t.start();
        QVERIFY2(t.waitDone(), qPrintable(s.logText() + t.error()));
        QVERIFY(!t.client->succeeded());
        QTRY_COMPARE(s.stationFiles(), QStringList());
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("(missing)"));
        QVERIFY(s.backups(3).isEmpty());
    }

    void aRetiredKeyServesUntilItsTime_data()
    {
        QTest::addColumn<QDateTime>("until");
        QTest::addColumn<bool>("served");
        QTest::newRow("still valid") << QDateTime(QDate(2100, 1, 1), QTime(0, 0), Qt::UTC) << true;
        QTest::newRow("run out") << QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC) << false;
    }
    void aRetiredKeyServesUntilItsTime()
    {
        QFETCH(QDateTime, until);
        QFETCH(bool, served);
        const QByteArray old = generateKey();
        LinkStation s([&](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.linkKey = generateKey();
            settings.retiredKeys = { { old, until } };
        });
        QTemporaryDir out;
        const QString order = outboxFile(out, QStringLiteral("S_HACH.dat"), "old key");
        for (const auto over : { LinkTerminal::Over::Tls, LinkTerminal::Over::Plain }) {
            LinkTerminal t(s.port(), 3, old, over);
            t.client->put(order);
            t.start();
            QVERIFY(t.waitDone());
            QCOMPARE(t.client->succeeded(), served);
        }
    }

    void theIdentityAndHelloMustNameOneTerminal()
    {
        const QByteArray key = generateKey();
        LinkStation s(keyed(key));
        Tls::TerminalConnection connection(3, key);
        TerminalClient::Options options;
        options.terminal = 4;
        options.version = connection.version();
        TerminalClient client(connection.socket(), options, connection.wire());
        QObject::connect(
            &connection, &Tls::TerminalConnection::ready, &client, &TerminalClient::start);
        connection.open(QStringLiteral("127.0.0.1"), s.port());
        QTRY_VERIFY(client.isFinished());
        QVERIFY2(client.errorString().contains(QStringLiteral("error 4")),
                 qPrintable(client.errorString()));
    }

    void aPlainTerminalIsToldWhatToDo()
    {
        LinkStation s([](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.linkKey = generateKey();
            settings.acceptV1 = false;
        });
        RawTerminal old(s.port());
        old.send(Hello, encodeHello({ Version, 3 }));
        QVERIFY(old.waitFor(Error));
        QCOMPARE(old.errorCode(), int(ErrorCode::BadVersion));
        const QString reason = decodeError(old.frames.last().payload)->reason;
        QVERIFY2(reason.contains(QStringLiteral("link key")), qPrintable(reason));
    }

    void hostilePeersCannotKeepAKeyedTerminalOut()
    {
        const QByteArray key = generateKey();
        LinkStation s([&](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.linkKey = key;
            settings.acceptV1 = false;
        });
        // Nine peers without the key: silent, speaking plain frames, or
        // starting a handshake they cannot finish; each keeps trying.
        std::vector<std::unique_ptr<QTcpSocket>> hostile;
        QTimer again;
        QObject::connect(&again, &QTimer::timeout, [&] {
            hostile.clear();
            for (int i = 0; i < 9; ++i) {
                auto peer = std::make_unique<QTcpSocket>();
                peer->connectToHost(QHostAddress::LocalHost, s.port());
                if (i % 3 == 1)
                    peer->write(encodeFrame(Hello, encodeHello({ Version, 3 })));
                if (i % 3 == 2)
                    peer->write(QByteArray("\x16\x03\x01\x00\x05hello", 10));
                hostile.push_back(std::move(peer));
            }
        });
        again.start(200);
        QTest::qWait(500);
        QTemporaryDir out;
        LinkTerminal t(s.port(), 3, key);
        t.client->put(outboxFile(out, QStringLiteral("S_HACH.dat"), "honest"));
        t.start();
        QVERIFY(t.waitDone());
        again.stop();
        QVERIFY2(t.client->succeeded(), qPrintable(t.error()));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("honest"));
    }

    void aTricklingSessionEndsAtItsCap()
    {
        LinkStation s(
            [](Comm::Settings &, StationCore::LinkOptions &link) { link.sessionGraceMs = 1500; });
        RawTerminal t(s.port());
        QVERIFY(t.hello(3));
        t.send(Put, encodeFileHeader({ 100, QStringLiteral("S_HACH.dat") }));
        // A byte well within each step's deadline, for ever.
        QTimer trickle;
        QObject::connect(&trickle, &QTimer::timeout, [&] { t.send(Data, "x"); });
        trickle.start(200);
        QVERIFY(t.waitFor(Error, 5000));
        QCOMPARE(t.errorCode(), int(ErrorCode::Timeout));
        QVERIFY(s.logText().contains(QStringLiteral("past its limit")));
        QCOMPARE(s.stationFiles(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSecureLink)
#include "tst_securelink.moc"
