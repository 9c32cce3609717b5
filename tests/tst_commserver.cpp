#include "Loopback.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "comm/CommServer.h"
#include "comm/LinkConfig.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

QList<UsbUnit> twoUnits()
{
    return { UsbUnit { QStringLiteral("ttyUSB0"),
                       QStringLiteral("/dev/ttyUSB0"),
                       QStringLiteral("HT unit"),
                       QString(),
                       0x0403,
                       0x6001 },
             UsbUnit { QStringLiteral("ttyUSB1"),
                       QStringLiteral("/dev/ttyUSB1"),
                       QString(),
                       QStringLiteral("Maker"),
                       0x0403,
                       0x6015 } };
}

} // namespace

class TestCommServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listeningOpensAndClosesThePort()
    {
        TestOperator op;
        // A station made before the transfer folder gets it when it listens.
        QTemporaryDir station;
        CommServer::Config config;
        config.link.folder = station.filePath(QStringLiteral("transfer"));
        CommServer server(config, op, {});
        QSignalSpy started(&server, &CommServer::ListenStarted);
        QSignalSpy stopped(&server, &CommServer::ListenStopped);
        QVERIFY(!server.Listening());

        server.setListening(true);
        QVERIFY(server.Listening());
        QCOMPARE(started.count(), 1);
        QVERIFY(QFileInfo(config.link.folder).isDir());
        const quint16 port = server.serverPort();
        QVERIFY(port != 0);
        QVERIFY(connects(port));

        // Writing the same value again changes nothing and raises nothing.
        server.setListening(true);
        QCOMPARE(started.count(), 1);

        server.setListening(false);
        QVERIFY(!server.Listening());
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!connects(port));

        server.setListening(true);
        QCOMPARE(started.count(), 2);
        QVERIFY(server.Listening());
    }

    void aTakenPortIsReportedAndNotListened()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::Any, 0));
        TestOperator op;
        CommServer::Config config;
        config.port = other.serverPort();
        CommServer server(config, op, {});
        QSignalSpy started(&server, &CommServer::ListenStarted);
        QSignalSpy failed(&server, &CommServer::ListenFailed);

        server.setListening(true);
        QVERIFY(!server.Listening());
        QCOMPARE(started.count(), 0);
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.first().first().toString().contains(QString::number(other.serverPort())));
    }

    void theSettingsSayWhereTerminalsMayConnect_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QStringList>("listen");
        QTest::addColumn<QList<QHostAddress>>("addresses");
        const QList<QHostAddress> loopback { QHostAddress::LocalHost, QHostAddress::LocalHostIPv6 };
        QTest::newRow("no key: this machine only") << QByteArray() << QStringList() << loopback;
        QTest::newRow("a key: every address")
            << QByteArray("k") << QStringList() << QList<QHostAddress> { QHostAddress::Any };
        QTest::newRow("a key, on loopback")
            << QByteArray("k") << QStringList { "loopback" } << loopback;
        QTest::newRow("addresses as written")
            << QByteArray("k") << QStringList { "192.0.2.7", "2001:db8::7" }
            << QList<QHostAddress> { QHostAddress("192.0.2.7"), QHostAddress("2001:db8::7") };
    }
    void theSettingsSayWhereTerminalsMayConnect()
    {
        QFETCH(QByteArray, key);
        QFETCH(QStringList, listen);
        QFETCH(QList<QHostAddress>, addresses);
        Comm::Settings settings;
        settings.linkKey = key;
        settings.listen = listen;
        QCOMPARE(listenAddresses(settings), addresses);
    }

    void usbUnitsAreCountedAndChosen()
    {
        TestOperator op;
        CommServer server({}, op, twoUnits);
        QCOMPARE(server.FindUsbUnits(CommServer::UsbUnitKind), qint16(2));

        op.answer = -1;
        QVERIFY(!server.ChooseUsbUnit());
        QVERIFY(!server.chosenUsbUnit());
        QCOMPARE(op.choicesOffered.size(), 1);
        QCOMPARE(op.choicesOffered.first(),
                 QStringList({ "ttyUSB0 (HT unit)", "ttyUSB1 (Maker)" }));

        op.answer = 1;
        QVERIFY(server.ChooseUsbUnit());
        QCOMPARE(server.chosenUsbUnit()->systemLocation, QStringLiteral("/dev/ttyUSB1"));
    }

    void noUnitsNoChoice()
    {
        TestOperator op;
        CommServer server({}, op, [] { return QList<UsbUnit>(); });
        QCOMPARE(server.FindUsbUnits(CommServer::UsbUnitKind), qint16(0));
        op.answer = 0;
        QVERIFY(!server.ChooseUsbUnit());
        QVERIFY(op.choicesOffered.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCommServer)
#include "tst_commserver.moc"
