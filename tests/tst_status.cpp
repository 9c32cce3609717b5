#include "LinkStation.h"
#include "MasterFiles.h"
#include "StationFolder.h"
#include "TestDatabases.h"

#include "base/Cp932.h"
#include "masters/MasterDefinitions.h"
#include "station/ScanCommand.h"
#include "station/StationLock.h"
#include "station/StationState.h"
#include "station/StatusCommand.h"

#include <QJsonArray>
#include <QRegularExpression>

namespace {

QString productLine()
{
    const Masters::Definition &m = *Masters::find(QStringLiteral("SHOMAS"));
    const Masters::Field &key = m.fields.at(m.keyFieldIndex());
    return fixedLine(key.start + key.width - 1, { { 1, "1" }, { key.start, "1" } });
}

bool send(LinkStation &s, int terminal, const QStringList &names)
{
    QTemporaryDir out;
    LinkTerminal t(s.port(), terminal);
    for (const QString &name : names) {
        writeFile(out.filePath(name), "order " + name.toUtf8());
        t.client->put(out.filePath(name));
    }
    t.start();
    return t.waitDone() && t.client->succeeded();
}

// Runs the countdown out, so the station's own timed scan runs.
void scanNow(LinkStation &s)
{
    while (s.station->PollCountdown() != 3600)
        s.station->Timer1Timer();
    s.station->Timer1Timer();
}

} // namespace

class StatusTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void aRunningStationWithTraffic()
    {
        LinkStation s;
        const Comm::Settings &settings = s.core->settings();
        using StationStatus::gather;
        QCOMPARE(gather(settings, s.clock.now()).exitStatus, int(StationStatus::NotRunning));
        StationLock running(settings.layout().stationLockFile());
        QString problem;
        QVERIFY(running.take(0, &problem));
        QCOMPARE(gather(settings, s.clock.now()).exitStatus, int(StationStatus::Healthy));

        QVERIFY(send(s, 3, { QStringLiteral("S_HACH.dat"), QStringLiteral("NOTE.txt") }));
        // A terminal hanging up in the middle of a file.
        RawTerminal lost(s.port());
        QVERIFY(lost.hello(7));
        lost.send(Link::Put, Link::encodeFileHeader({ 10, QStringLiteral("S_TANA.dat") }));
        QTRY_VERIFY_WITH_TIMEOUT(s.statusLines.contains(QStringLiteral("S_TANA.dat受信中 :7")),
                                 5000);
        lost.socket.abort();
        QTRY_VERIFY_WITH_TIMEOUT(gather(settings, s.clock.now()).json[u"sessions"][u"0007"][u"note"]
                                     == QStringLiteral("S_TANA.dat not saved"),
                                 5000);
        // A master that cannot be applied (a folder by its name), and one
        // still to be scanned, spelt as the host may spell it.
        QVERIFY(QDir().mkpath(s.rcv(2, QStringLiteral("SHOMAS.dat"))));
        scanNow(s);
        QVERIFY(writeFile(s.rcv(5, QStringLiteral("bunmas.DAT")), "x"));
        // What the station's start and a later command made on a server,
        // in time order.
        const QString made
            = QStringLiteral("データベース pg://h/d にスキーマ shop9 を作成しました");
        s.core->noteMade({ made });
        QString why;
        QVERIFY(StationState::recordMade(
            settings.layout(), { QStringLiteral("import made") }, s.clock.now().addSecs(1), &why));

        StationStatus::Report report = gather(settings, s.clock.now());
        QCOMPARE(report.exitStatus, int(StationStatus::NeedsAttention));
        const QJsonObject &json = report.json;
        QCOMPARE(json[u"version"].toInt(), 1);
        const QJsonObject process = json[u"station_process"].toObject();
        QCOMPARE(process[u"pid"].toInteger(), QCoreApplication::applicationPid());
        QCOMPARE(process[u"port"].toInt(), int(s.port()));
        QCOMPARE(process[u"link"].toString(), s.server->linkState());
        const QJsonObject session = json[u"sessions"][u"0003"].toObject();
        QCOMPARE(session[u"files"].toInt(), 2);
        QCOMPARE(session[u"outcome"].toString(), QStringLiteral("ok"));
        QStringList filed;
        for (const QJsonValue &f : json[u"filed_today"].toArray())
            filed << f[u"name"].toString() + u' ' + f[u"where"].toString();
        QCOMPARE(filed, QStringList({ "S_HACH.dat filed", "NOTE.txt kept" }));
        QCOMPARE(json[u"kept"][u"0003"].toArray().size(), 1);
        QCOMPARE(json[u"masters_waiting"][u"0005"].toArray(), QJsonArray({ "bunmas.DAT" }));
        QCOMPARE(json[u"applies"][u"0002 SHOMAS"][u"outcome"].toString(), QStringLiteral("failed"));
        QCOMPARE(json[u"sessions"][u"0007"][u"outcome"].toString(), QStringLiteral("failed"));
        QCOMPARE(json[u"errors"].toArray().size(), 2);
        QCOMPARE(json[u"made"][0][u"text"].toString(), made);
        QCOMPARE(json[u"made"][1][u"text"].toString(), QStringLiteral("import made"));
        QVERIFY(json[u"errors"][0][u"text"].toString().contains(QStringLiteral("通信途絶")));
        const QString text = StationStatus::text(json);
        for (const char *line : { "station: running",
                                  "terminal 0003: last session",
                                  "2 files, ok",
                                  "terminal 0003 NOTE.txt (kept)",
                                  "master waiting, terminal 0005: bunmas.DAT",
                                  "applied 0002 SHOMAS: 2026-12-08T09:30:05, failed: ",
                                  "free space: ",
                                  "made 2026-12-08T09:30:06: import made",
                                  "needs attention: failed apply: 0002 SHOMAS" })
            QVERIFY2(text.contains(QLatin1String(line)), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("made 2026-12-08T09:30:05: ") + made));

        // A later success clears the failure; a file left unfiled needs
        // attention; a station gone is reported before either.
        QVERIFY(QDir(s.rcv(2, QStringLiteral("SHOMAS.dat"))).removeRecursively());
        QVERIFY(writeFile(s.rcv(2, QStringLiteral("SHOMAS.dat")),
                          Cp932::encode(productLine()) + "\r\n"));
        s.clock.advance(60000);
        scanNow(s);
        report = gather(settings, s.clock.now());
        QCOMPARE(report.json[u"applies"][u"0002 SHOMAS"][u"rows"].toInt(), 1);
        QCOMPARE(report.exitStatus, int(StationStatus::Healthy));
        QVERIFY(writeFile(s.folder.unfiled(QStringLiteral("20261208093005_0003_S_TANA.dat")), "t"));
        QCOMPARE(gather(settings, s.clock.now()).exitStatus, int(StationStatus::NeedsAttention));
        running.release();
        report = gather(settings, s.clock.now());
        QCOMPARE(report.exitStatus, int(StationStatus::NotRunning));
        QVERIFY(StationStatus::text(report.json).startsWith(QLatin1String("station: not running")));
        // The station's next run still shows what the last one made.
        StationRecorder(settings.layout(),
                        *s.server,
                        s.core->transfers(),
                        s.clock,
                        s.core->log(),
                        Cli::Process::Serve);
        QCOMPARE(gather(settings, s.clock.now()).json[u"made"].toArray().size(), 2);
        // Yesterday's files are not today's.
        QCOMPARE(gather(settings, s.clock.now().addDays(1)).json[u"filed_today"].toArray().size(),
                 0);
    }

    void aScanThatMadeTheSchemaLeavesItForStatus()
    {
        if (TestDatabases::engine() != TestDatabases::PostgreSQL)
            QSKIP("on the server: tst_status_postgresql");
        QTemporaryDir dir;
        StationFolder folder(dir.path());
        const QString schema
            = QStringLiteral("status_") + QString::number(QCoreApplication::applicationPid());
        QFile settings(folder.settings.settingsFile());
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QString text = QString::fromLatin1(settings.readAll());
        settings.close();
        text.replace(QRegularExpression(QStringLiteral("DBname=[^\\r\\n]*")),
                     QStringLiteral("DBname=") + TestDatabases::serverLocation(schema));
        QVERIFY(writeFile(settings.fileName(), text.toLatin1()));

        QCOMPARE(Cli::scan({ QStringLiteral("--station-dir"), dir.path() }), 0);
        Comm::Settings loaded;
        QString problem;
        QVERIFY(Comm::LoadSettings(dir.path(), &loaded, &problem));
        const QJsonArray made
            = StationStatus::gather(loaded, QDateTime::currentDateTime()).json[u"made"].toArray();
        QCOMPARE(made.size(), 1);
        QVERIFY2(made[0][u"text"].toString().contains(QStringLiteral("スキーマ ") + schema),
                 qPrintable(made[0][u"text"].toString()));
    }
};

QTEST_GUILESS_MAIN(StatusTest)
#include "tst_status.moc"
