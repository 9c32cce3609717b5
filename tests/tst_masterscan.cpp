#include "EngineStation.h"
#include "Files.h"
#include "MasterFiles.h"
#include "TestClock.h"
#include "TestDatabases.h"
#include "TestOperator.h"
#include "base/Cp932.h"
#include "base/StationLog.h"
#include "gui/MianMenu.h"
#include "gui/WindowStation.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterScan.h"
#include "masters/SettleCheck.h"
#include "station/Station.h"
#include "station/StationLock.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>
#include <limits>

#include <sys/stat.h>

namespace {

// One valid line for each master: kind 1 and a key, the rest blank.
QString lineFor(const QString &master)
{
    const Masters::Definition &m = *Masters::find(master);
    const Masters::Field &key = m.fields.at(m.keyFieldIndex());
    return fixedLine(key.start + key.width - 1, { { 1, "1" }, { key.start, "1" } });
}

QStringList applied(const QList<MasterScan::Outcome> &outcomes)
{
    QStringList list;
    for (const MasterScan::Outcome &outcome : outcomes)
        list.append(outcome.terminalId + u' ' + outcome.master + (outcome.applied() ? "" : " !"));
    return list;
}

QList<UsbUnit> noUnits()
{
    return {};
}

} // namespace

class TestMasterScan : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<EngineStation> m_station;
    TestClock m_clock;
    TestOperator m_operator;
    std::unique_ptr<StationLog> m_log;

    void place(const QString &terminalId, const QString &master)
    {
        QVERIFY(m_station->write(terminalId, master + ".dat", { lineFor(master) }));
    }

    // A master file caught half copied: its last line has no end yet, and
    // its time is now.
    void placeHalfCopied(const QString &terminalId, const QString &master)
    {
        const QString name = master + ".dat";
        QVERIFY(m_station->writeBytes(terminalId, name, Cp932::encode(lineFor(master))));
        QVERIFY(setModified(m_station->path(terminalId, name), m_clock.current));
    }

    QList<MasterScan::Outcome> scan()
    {
        MasterScan masterScan(m_station->settings, m_operator, *m_log, m_clock);
        return masterScan.run();
    }

    QString logText() const
    {
        QFile file(m_log->currentFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    Comm::Settings windowSettings() const
    {
        Comm::Settings settings = m_station->settings;
        settings.port = 0;
        return settings;
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_station = std::make_unique<EngineStation>(m_tmp->path());
        m_log = std::make_unique<StationLog>(m_station->layout().logFolder(), m_clock);
        m_operator = TestOperator();
    }

    void appliesTerminalsInOrderAndMastersInTheirOrder()
    {
        place("0011", "SHOMAS");
        for (const char *master : { "JISYA", "SHOMAS", "TOKMAS", "SIRMAS", "TENMAS", "BUNMAS" })
            place("0002", master);
        place("0001", "TOKMAS");
        place("0001", "BUNMAS");

        QCOMPARE(applied(scan()),
                 QStringList({ "0001 BUNMAS",
                               "0001 TOKMAS",
                               "0002 BUNMAS",
                               "0002 TENMAS",
                               "0002 SIRMAS",
                               "0002 TOKMAS",
                               "0002 SHOMAS",
                               "0002 JISYA",
                               "0011 SHOMAS" }));
        QVERIFY(m_operator.shown.isEmpty());
        for (const QString &master : Masters::names()) {
            QVERIFY(!m_station->exists("0002", master + ".dat"));
            QVERIFY(m_station->exists("0002", master + ".sav"));
            QCOMPARE(m_station->lines("0002", master + ".csv").size(), 1);
        }
        QVERIFY(logText().contains(m_station->path("0002", "JISYA.dat")));
        // Nothing left: the next scan finds nothing.
        QVERIFY(scan().isEmpty());

        // Below the free-space floor a file waits, untouched, and the
        // operator hears why.
        place("0003", "BUNMAS");
        m_station->settings.minFree = std::numeric_limits<qint64>::max();
        QVERIFY(scan().isEmpty());
        QVERIFY(m_station->exists("0003", "BUNMAS.dat"));
        QVERIFY(m_operator.messages().last().contains(QStringLiteral("MINFREE")));
    }

    void onlyTerminalsOneToElevenAreScanned()
    {
        place("0000", "BUNMAS");
        place("0012", "BUNMAS");
        place("12", "BUNMAS");
        QVERIFY(scan().isEmpty());
        QVERIFY(m_station->exists("0000", "BUNMAS.dat"));
        QVERIFY(m_station->exists("0012", "BUNMAS.dat"));
        QVERIFY(m_station->exists("12", "BUNMAS.dat"));
        QVERIFY(logText().contains(m_station->layout().dataRoot() + "0012 "));
        QVERIFY(logText().contains(m_station->layout().dataRoot() + "12 "));
        QVERIFY(!logText().contains(m_station->layout().dataRoot() + "0000 "));
    }

    // Names the host seems to have meant for the station are named, each
    // once a day, whether the scan runs on in a station or once from cron.
    void misplacedFilesAreNamedOnceADay_data()
    {
        QTest::addColumn<bool>("oneShot");
        QTest::newRow("running station") << false;
        QTest::newRow("one-shot scans") << true;
    }

    void misplacedFilesAreNamedOnceADay()
    {
        QFETCH(bool, oneShot);
        for (const char *name : { "BUNMAS.txt",
                                  "shomas_20261209.dat",
                                  "BUNMAS.sav",
                                  "BUNMAS.12.sav",
                                  "BUNMAS.csv",
                                  ".BUNMAS.dat.part",
                                  "ORDERS.dat" })
            QVERIFY(m_station->writeBytes("0003", name, "1A1\r\n"));
        QVERIFY(QDir().mkpath(m_station->layout().dataRoot() + "3"));
        const QString notices = m_station->layout().namedTodayFile();
        MasterScan running(m_station->settings, m_operator, *m_log, m_clock);
        const auto named = [&] {
            MasterScan once(m_station->settings, m_operator, *m_log, m_clock);
            once.keepNoticesIn(notices);
            MasterScan &scan = oneShot ? once : running;
            scan.run();
            QStringList paths;
            for (const MisplacedFiles::Entry &entry : scan.misplaced())
                paths.append(QFileInfo(entry.path).fileName() + u' ' + entry.meant);
            return paths;
        };
        const QStringList all { "3 ", "BUNMAS.txt BUNMAS.dat", "shomas_20261209.dat SHOMAS.dat" };
        QCOMPARE(named(), all);
        QCOMPARE(named(), QStringList());
        m_clock.current = m_clock.current.addDays(1);
        QCOMPARE(named(), all);
        QCOMPARE(logText().count("BUNMAS.txt"), 1); // today's log
        QVERIFY(m_operator.shown.isEmpty());
    }

    void anOldSavIsReplaced()
    {
        QVERIFY(m_station->writeBytes("0003", "BUNMAS.sav", "old\r\n"));
        place("0003", "BUNMAS");
        const QByteArray dat = m_station->bytes("0003", "BUNMAS.dat");
        QCOMPARE(applied(scan()), QStringList { "0003 BUNMAS" });
        QCOMPARE(m_station->bytes("0003", "BUNMAS.sav"), dat);
        QVERIFY(!m_station->exists("0003", "BUNMAS.dat"));
    }

    void missingFoldersAreSkippedSilently()
    {
        m_station->settings.DbPath
            = TestDatabases::freshLocation(TestDatabases::engine(), m_tmp->path());
        QVERIFY(scan().isEmpty());
        QVERIFY(m_operator.shown.isEmpty());
        QVERIFY(!TestDatabases::locationExists(m_station->settings.DbPath));
    }

    void aFailureIsToldAndLoggedAndTheScanGoesOn()
    {
        QVERIFY(m_station->writeBytes("0001", "BUNMAS.dat", "1A1  \x82\r\n"));
        place("0001", "TENMAS");
        place("0002", "BUNMAS");
        // The window's operator writes what it shows to the log.
        LoggedOperator op(m_operator, *m_log);
        MasterScan masterScan(m_station->settings, op, *m_log, m_clock);
        QCOMPARE(applied(masterScan.run()),
                 QStringList({ "0001 BUNMAS !", "0001 TENMAS", "0002 BUNMAS" }));

        QCOMPARE(m_operator.messages().size(), 1);
        const QString message = m_operator.messages().first();
        QVERIFY2(message.contains(m_station->path("0001", "BUNMAS.dat")), qPrintable(message));
        QVERIFY2(message.contains("CP932"), qPrintable(message));
        QVERIFY(logText().contains(message));
        QVERIFY(m_station->exists("0001", "BUNMAS.dat"));
        QVERIFY(!m_station->exists("0001", "BUNMAS.sav"));
        QVERIFY(!m_station->exists("0001", "BUNMAS.csv"));
        QVERIFY(m_station->exists("0001", "TENMAS.sav"));
    }

    // An old ".sav" that cannot be removed (a folder here) must not leave the
    // applied file to be applied again by every scan.
    void anOldSavThatCannotBeRemovedKeepsTheFileUnderANumberedName()
    {
        place("0003", "BUNMAS");
        const QByteArray dat = m_station->bytes("0003", "BUNMAS.dat");
        QVERIFY(QDir().mkpath(m_station->path("0003", "BUNMAS.sav/x")));
        QVERIFY(m_station->writeBytes("0003", "BUNMAS.1.sav", "older\r\n"));
        QCOMPARE(applied(scan()), QStringList { "0003 BUNMAS" });
        QVERIFY(!m_station->exists("0003", "BUNMAS.dat"));
        QCOMPARE(m_station->bytes("0003", "BUNMAS.2.sav"), dat);
        QCOMPARE(m_station->bytes("0003", "BUNMAS.1.sav"), QByteArray("older\r\n"));
        QVERIFY2(m_operator.messages().value(0).contains("BUNMAS.2.sav"),
                 qPrintable(m_operator.messages().value(0)));
        QVERIFY(scan().isEmpty());
    }

    // Master files are found ignoring letter case and renamed and exported
    // under their usual names; of two spellings the exact one goes first and
    // the other waits for the next scan.
    void masterFilesAreFoundIgnoringCase_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("firstScan");
        QTest::newRow("upper case") << QStringList { "BUNMAS.DAT" } << QStringList { "BUNMAS.DAT" };
        QTest::newRow("lower case") << QStringList { "bunmas.dat" } << QStringList { "bunmas.dat" };
        QTest::newRow("two spellings") << QStringList { "BUNMAS.DAT", "BUNMAS.dat", "Bunmas.dat" }
                                       << QStringList { "BUNMAS.dat", "BUNMAS.DAT" };
    }

    void masterFilesAreFoundIgnoringCase()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, firstScan);
        for (const QString &name : names)
            QVERIFY(m_station->write("0004", name, { lineFor("BUNMAS") }));
        QCOMPARE(applied(scan()), QStringList { "0004 BUNMAS" });
        QVERIFY(!m_station->exists("0004", firstScan.first()));
        QVERIFY(m_station->exists("0004", "BUNMAS.sav"));
        QCOMPARE(m_station->lines("0004", "BUNMAS.csv").size(), 1);
        QCOMPARE(m_operator.messages().size(), names.size() - 1);
        for (const QString &message : m_operator.messages())
            QVERIFY2(message.contains(m_station->path("0004", firstScan.first())),
                     qPrintable(message));
        if (firstScan.size() > 1) {
            QVERIFY2(
                m_operator.messages().first().contains(m_station->path("0004", firstScan.at(1))),
                qPrintable(m_operator.messages().first()));
            QCOMPARE(applied(scan()), QStringList { "0004 BUNMAS" });
            QCOMPARE(applied(scan()), QStringList { "0004 BUNMAS" });
        }
        QVERIFY(scan().isEmpty());
    }

    // What is not a regular file is refused without opening it (a FIFO would
    // wait for a writer), and the scan goes on.
    void onlyRegularFilesAreRead()
    {
        const QByteArray fifo = QFile::encodeName(m_station->path("0005", "SHOMAS.dat"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QVERIFY(QDir().mkpath(m_station->path("0005", "BUNMAS.dat")));
        place("0005", "TENMAS");
        QCOMPARE(applied(scan()), QStringList({ "0005 BUNMAS !", "0005 TENMAS", "0005 SHOMAS !" }));
        QCOMPARE(m_operator.messages().size(), 2);
        QVERIFY(m_operator.messages().last().contains("SHOMAS.dat"));
        QVERIFY(QFileInfo(QString::fromLocal8Bit(fifo)).exists());
    }

    // A link planted under a master file's name is refused by name and left
    // alone; one under the export's or ".sav" name is replaced and logged.
    // Either way the station's own file it points to stays as it is.
    void plantedLinksAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("applies");
        QTest::newRow("master file") << "BUNMAS.dat" << false;
        QTest::newRow("export") << "BUNMAS.csv" << true;
        QTest::newRow("applied file") << "BUNMAS.sav" << true;
    }

    void plantedLinksAreNeverFollowed()
    {
        QFETCH(QString, name);
        QFETCH(bool, applies);
        // A master line there would be applied through the link.
        const QString own = m_station->settings.settingsFile();
        QVERIFY(writeFile(own, Cp932::encode(lineFor("BUNMAS")) + "\r\n"));
        const QByteArray before = readFile(own);
        if (applies)
            place("0001", "BUNMAS");
        QVERIFY(QDir().mkpath(m_station->receiveFolder("0001")));
        QVERIFY(QFile::link(own, m_station->path("0001", name)));

        QCOMPARE(applied(scan()), QStringList { applies ? "0001 BUNMAS" : "0001 BUNMAS !" });
        QCOMPARE(readFile(own), before);
        QCOMPARE(QFileInfo(m_station->path("0001", name)).isSymLink(), !applies);
        const QString told = applies ? logText() : m_operator.messages().join(u'\n');
        QVERIFY2(told.contains(m_station->path("0001", name))
                     && told.contains("シンボリックリンク"),
                 qPrintable(told));
        QCOMPARE(m_station->exists("0001", "BUNMAS.csv"), applies);
    }

    // A file whose last line has no end is being written while its time is
    // near now, either way; a file whose lines all end is whole at once.
    void aFileIsBeingWrittenWhileItsLastLineIsOpenAndItsTimeIsNow_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("age");
        QTest::addColumn<bool>("beingWritten");
        QTest::newRow("lines all end") << QByteArray("1A1\r\n1A2\r\n") << 0 << false;
        QTest::newRow("lone CR ends") << QByteArray("1A1\r") << 0 << false;
        QTest::newRow("last line open") << QByteArray("1A1\r\n1A2") << 0 << true;
        QTest::newRow("empty") << QByteArray() << 0 << true;
        QTest::newRow("host clock ahead") << QByteArray("1A1") << -9 << true;
        QTest::newRow("settled") << QByteArray("1A1") << SettleCheck::SettleSeconds << false;
        QTest::newRow("host clock far ahead") << QByteArray("1A1") << -3600 << false;
    }

    void aFileIsBeingWrittenWhileItsLastLineIsOpenAndItsTimeIsNow()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, age);
        QFETCH(bool, beingWritten);
        const QString path = m_station->path("0001", "BUNMAS.dat");
        QVERIFY(m_station->writeBytes("0001", "BUNMAS.dat", bytes));
        QVERIFY(setModified(path, m_clock.current.addSecs(-age)));
        QCOMPARE(SettleCheck(m_clock).beingWritten(path), beingWritten);
    }

    // A file seen growing is being written whatever its time says (the
    // date set back, a host copying old times), until it stands still.
    void aFileSeenChangingIsBeingWrittenUntilItStandsStill()
    {
        SettleCheck check(m_clock);
        const QString path = m_station->path("0001", "BUNMAS.dat");
        QVERIFY(m_station->writeBytes("0001", "BUNMAS.dat", "1A1"));
        QVERIFY(setModified(path, m_clock.current));
        QVERIFY(check.beingWritten(path));
        QVERIFY(m_station->writeBytes("0001", "BUNMAS.dat", "1A1  FRU"));
        QVERIFY(setModified(path, m_clock.current.addSecs(-3600)));
        QVERIFY(check.beingWritten(path));
        // Only the time seen to pass counts, not the date.
        m_clock.elapsed += SettleCheck::SettleSeconds * 1000 - 1;
        QVERIFY(check.beingWritten(path));
        m_clock.elapsed += 1;
        QVERIFY(!check.beingWritten(path));
    }

    // Half copied, a file is left as it is and its rows untouched; once it
    // has stood still it is applied as any other.
    void aFileBeingWrittenWaitsAndIsAppliedOnceItSettles()
    {
        place("0002", "TENMAS");
        placeHalfCopied("0002", "BUNMAS");
        QCOMPARE(applied(scan()), QStringList({ "0002 BUNMAS !", "0002 TENMAS" }));
        QVERIFY(m_station->exists("0002", "BUNMAS.dat"));
        QVERIFY(!m_station->exists("0002", "BUNMAS.sav"));
        QVERIFY(!m_station->exists("0002", "BUNMAS.csv"));
        QVERIFY(m_operator.shown.isEmpty());
        QVERIFY(logText().contains(m_station->path("0002", "BUNMAS.dat") + " は書き込み中"));

        m_clock.current = m_clock.current.addSecs(SettleCheck::SettleSeconds);
        QCOMPARE(applied(scan()), QStringList { "0002 BUNMAS" });
        QCOMPARE(m_station->lines("0002", "BUNMAS.csv").size(), 1);
    }

    // The running station looks again on every tick while a file waits,
    // and its countdown goes on as it would.
    void theStationLooksAgainEveryTickWhileAFileWaits()
    {
        WindowStation window(windowSettings(), m_operator, m_clock, noUnits);
        QVERIFY(window.load());
        Station &station = window.station();
        placeHalfCopied("0003", "BUNMAS");
        for (int tick = 1; tick <= 30; ++tick)
            station.Timer1Timer();
        QCOMPARE(station.PollCountdown(), qint16(3600));
        QVERIFY(m_station->exists("0003", "BUNMAS.dat"));

        station.Timer1Timer();
        QVERIFY(m_station->exists("0003", "BUNMAS.dat"));
        m_clock.current = m_clock.current.addSecs(SettleCheck::SettleSeconds);
        station.Timer1Timer();
        QCOMPARE(station.PollCountdown(), qint16(3598));
        QVERIFY(m_station->exists("0003", "BUNMAS.sav"));
        QCOMPARE(logText().count(" は書き込み中"), 1);
    }

    // A station that started without its database looks again before each
    // scan, telling the operator, until it answers.
    void aDatabaseNotThereAtStartIsTriedAgainAtEachScan()
    {
        if (TestDatabases::engine() == TestDatabases::PostgreSQL)
            QSKIP("a server down at start: tst_serve");
        Comm::Settings settings = windowSettings();
        const QString made = settings.DbPath;
        settings.DbPath = m_tmp->filePath(QStringLiteral("later.db"));
        WindowStation window(settings, m_operator, m_clock, noUnits);
        QVERIFY(window.load());
        m_operator.shown.clear();
        window.core().retryDatabases(false);
        place("0003", "BUNMAS");
        for (int tick = 1; tick <= 30; ++tick)
            window.station().Timer1Timer();
        QVERIFY2(m_operator.messages().value(0).contains(QStringLiteral("の DBname: データベース ")
                                                         + settings.DbPath),
                 qPrintable(m_operator.messages().join(u'\n')));

        QVERIFY(QFile::copy(made, settings.DbPath));
        m_operator.shown.clear();
        for (int tick = 1; tick <= 3600; ++tick)
            window.station().Timer1Timer();
        QVERIFY(m_station->exists("0003", "BUNMAS.sav"));
        QCOMPARE(m_operator.shown.value(0).text, QStringLiteral("データベースに接続しました"));
    }

    void pendingEventsRunDuringTheScan()
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&ran] { ran = true; });
        scan();
        QVERIFY(ran);
    }

    void countdownFromLoadThenScanEvery3600Ticks()
    {
        WindowStation window(windowSettings(), m_operator, m_clock, noUnits);
        Station &station = window.station();
        QCOMPARE(window.window().LCount->text(), QStringLiteral("1"));
        QVERIFY(window.load());
        QVERIFY(station.Timer1->isActive());
        QCOMPARE(station.Timer1->interval(), 3000);
        QCOMPARE(station.PollCountdown(), qint16(30));

        place("0003", "BUNMAS");
        QSignalSpy shown(&station, &Station::countdownShown);
        for (int tick = 1; tick <= 29; ++tick)
            station.Timer1Timer();
        QCOMPARE(shown.size(), 29);
        QCOMPARE(shown.first().first().toString(), QStringLiteral("29"));
        QCOMPARE(shown.last().first().toString(), QStringLiteral("1"));
        QCOMPARE(window.window().LCount->text(), QStringLiteral("1"));
        QVERIFY(m_station->exists("0003", "BUNMAS.dat"));

        station.Timer1Timer();
        QCOMPARE(shown.last().first().toString(), QStringLiteral("3600"));
        QCOMPARE(window.window().LCount->text(), QStringLiteral("3600"));
        QVERIFY(m_station->exists("0003", "BUNMAS.sav"));
        QVERIFY(m_station->exists("0003", "BUNMAS.csv"));

        station.Timer1Timer();
        QCOMPARE(window.window().LCount->text(), QStringLiteral("3599"));
        QCOMPARE(station.PollCountdown(), qint16(3599));
    }

    void ticksDuringAScanOnlyCountDown()
    {
        WindowStation window(windowSettings(), m_operator, m_clock, noUnits);
        QVERIFY(window.load());
        m_operator.shown.clear();
        Station &station = window.station();
        for (int tick = 1; tick <= 29; ++tick)
            station.Timer1Timer();

        // While the failure's message is open, ticks go on being handled.
        QVERIFY(m_station->writeBytes("0001", "BUNMAS.dat", "1A1  \x82\r\n"));
        place("0002", "BUNMAS");
        QStringList duringMessage;
        m_operator.whileOpen = [&](const QString &) {
            station.Timer1Timer();
            station.Timer1Timer();
            duringMessage.append(window.window().LCount->text());
            duringMessage.append(m_station->exists("0002", "BUNMAS.dat") ? "waiting" : "applied");
        };
        station.Timer1Timer();
        QCOMPARE(duringMessage, QStringList({ "3598", "waiting" }));
        QCOMPARE(m_operator.messages().size(), 1);
        QVERIFY(m_station->exists("0002", "BUNMAS.sav"));
        QCOMPARE(station.PollCountdown(), qint16(3598));
    }

    // Another process (a scan from cron) applying master files keeps the
    // station's scan waiting a tick at a time, never applying the same file.
    void scanWaitsWhileAnotherProcessAppliesMasters()
    {
        WindowStation window(windowSettings(), m_operator, m_clock, noUnits);
        QVERIFY(window.load());
        Station &station = window.station();
        for (int tick = 1; tick <= 29; ++tick)
            station.Timer1Timer();
        place("0003", "BUNMAS");
        StationLock cron(m_station->layout().mastersLockFile());
        QString problem;
        QVERIFY(cron.take(0, &problem));

        station.Timer1Timer();
        station.Timer1Timer();
        QCOMPARE(station.PollCountdown(), qint16(1));
        QVERIFY(m_station->exists("0003", "BUNMAS.dat"));
        QCOMPARE(logText().count(QStringLiteral("tarvinex-masters.lock")), 1);

        cron.release();
        station.Timer1Timer();
        QCOMPARE(station.PollCountdown(), qint16(3600));
        QVERIFY(m_station->exists("0003", "BUNMAS.sav"));
        // The station lets go after its scan.
        QVERIFY(cron.take(0, &problem));
    }
};

QTEST_MAIN(TestMasterScan)
#include "tst_masterscan.moc"
