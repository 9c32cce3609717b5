#include "Files.h"
#include "TestClock.h"
#include "base/StationLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 MsPerDay = 24 * 3600 * 1000;

// A station folder whose log folder holds the given files.
struct LogFolder
{
    QTemporaryDir dir;
    QDir log { dir.filePath(QStringLiteral("log")) };

    explicit LogFolder(const QStringList &names)
    {
        QVERIFY(log.mkpath(QStringLiteral(".")));
        for (const QString &name : names)
            QVERIFY(QFile(log.filePath(name)).open(QIODevice::WriteOnly));
    }

    // What is left, a day of 2026 by its month and day.
    QString kept() const
    {
        return log.entryList(QDir::Files, QDir::Name)
            .replaceInStrings(
                QRegularExpression(QStringLiteral("^tarvinex-(?:2026)?(\\d+)\\.log$")),
                QStringLiteral("\\1"))
            .join(u' ');
    }
};

} // namespace

// The log that the window, serve, scan and import share: whose line is whose,
// and how long days are kept.
class TestStationLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eachLineNamesItsProcess()
    {
        QTemporaryDir dir;
        TestClock clock;
        StationLog serve(dir.path(), clock, QStringLiteral("serve"));
        StationLog scan(dir.path(), clock, QStringLiteral("scan"));
        serve.write(QStringLiteral("待ち受け開始"));
        scan.write(QStringLiteral("two\nlines"));

        QFile file(serve.currentFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()),
                 QStringLiteral("2026-12-08 09:30:05.000 [serve %1] 待ち受け開始\n"
                                "2026-12-08 09:30:05.000 [scan %1] two | lines\n")
                     .arg(QCoreApplication::applicationPid()));
    }

    // A line stamped just before midnight goes to that day's file, however
    // late the clock is read again.
    void aLineGoesToTheDayOfItsStamp()
    {
        struct TurningClock : Clock
        {
            QDateTime now() const override
            {
                const QDateTime at = current;
                current = current.addMSecs(1);
                return at;
            }
            qint64 elapsedMs() const override { return 0; }
            mutable QDateTime current;
        } clock;
        QTemporaryDir dir;
        StationLog log(dir.path(), clock);
        clock.current = QDateTime(QDate(2026, 12, 8), QTime(23, 59, 59, 999));
        log.write(QStringLiteral("last"));
        QVERIFY(readFile(dir.filePath(QStringLiteral("tarvinex-20261208.log")))
                    .startsWith("2026-12-08 23:59:59.999"));
    }

    // Days are read from the names; other files and the data tree, where the
    // order files' backups are, are never touched.
    void oldDaysGoAtStartAndAsEachDayBegins_data()
    {
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<QString>("atStart");
        QTest::addColumn<QString>("nextDay");
        QTest::newRow("90 days") << 90 << "notes.txt 0909 0910 1208 tarvinex-old.log"
                                 << "notes.txt 0910 1208 1209 tarvinex-old.log";
        QTest::newRow("0 keeps every day") << 0 << "notes.txt 0901 0909 0910 1208 tarvinex-old.log"
                                           << "notes.txt 0901 0909 0910 1208 1209 tarvinex-old.log";
    }

    void oldDaysGoAtStartAndAsEachDayBegins()
    {
        QFETCH(int, keepDays);
        QFETCH(QString, atStart);
        QFETCH(QString, nextDay);
        LogFolder dir({ "notes.txt",
                        "tarvinex-old.log",
                        "tarvinex-20260901.log",
                        "tarvinex-20260909.log",
                        "tarvinex-20260910.log",
                        "tarvinex-20261208.log" });
        const QString backup
            = dir.dir.filePath(QStringLiteral("data/backup/0001/snd/H20260101.DAT"));
        QVERIFY(QDir().mkpath(QFileInfo(backup).path()));
        QVERIFY(QFile(backup).open(QIODevice::WriteOnly));
        const auto kept = [&dir] {
            return dir.kept();
        };

        TestClock clock;
        StationLog log(dir.log.path(), clock, QStringLiteral("window"), keepDays);
        QCOMPARE(kept(), atStart);
        log.write(QStringLiteral("same day"));
        QCOMPARE(kept(), atStart);
        clock.advance(MsPerDay);
        log.write(QStringLiteral("next day"));
        QCOMPARE(kept(), nextDay);
        QVERIFY(QFile::exists(backup));
    }

    // A clock set ahead or back removes no day a right one keeps; the days
    // the station has seen pass still count.
    void aClockSetWrongRemovesNothingARightOneKeeps_data()
    {
        QTest::addColumn<int>("daysOff");
        QTest::addColumn<QString>("wrongDays");
        QTest::addColumn<QString>("aDayLater");
        QTest::newRow("100 days ahead") << 100 << "0909 0910 1208 20270318 20270319"
                                        << "0910 1208 20270318 20270319 20270320";
        QTest::newRow("100 days back") << -100 << "0830 0831 0901 0909 0910 1208"
                                       << "0830 0831 0901 0909 0910 1208";
    }

    void aClockSetWrongRemovesNothingARightOneKeeps()
    {
        QFETCH(int, daysOff);
        QFETCH(QString, wrongDays);
        QFETCH(QString, aDayLater);
        LogFolder dir({ "tarvinex-20260901.log",
                        "tarvinex-20260909.log",
                        "tarvinex-20260910.log",
                        "tarvinex-20261208.log" });
        TestClock clock;
        clock.current = clock.current.addDays(daysOff);
        StationLog log(dir.log.path(), clock, QStringLiteral("scan"), 90);
        log.write(QStringLiteral("opened"));
        clock.current = clock.current.addDays(1);
        log.write(QStringLiteral("the date turned, no time passed"));
        QCOMPARE(dir.kept(), wrongDays);
        clock.advance(MsPerDay);
        log.write(QStringLiteral("a day passed"));
        QCOMPARE(dir.kept(), aDayLater);
    }
};

QTEST_GUILESS_MAIN(TestStationLog)
#include "tst_stationlog.moc"
