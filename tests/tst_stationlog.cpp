#include "Files.h"
#include "TestClock.h"
#include "base/StationLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

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
            mutable QDateTime current;
        } clock;
        QTemporaryDir dir;
        StationLog log(dir.path(), clock);
        clock.current = QDateTime(QDate(2026, 12, 8), QTime(23, 59, 59, 999));
        log.write(QStringLiteral("last"));
        QVERIFY(readFile(dir.filePath(QStringLiteral("log/tarvinex-20261208.log")))
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
        QTemporaryDir dir;
        const QDir logDir(dir.filePath(QStringLiteral("log")));
        const QString backup = dir.filePath(QStringLiteral("data/backup/0001/snd/H20260101.DAT"));
        QVERIFY(logDir.mkpath(QStringLiteral(".")) && QDir().mkpath(QFileInfo(backup).path()));
        const QStringList files = QStringList { "notes.txt", "tarvinex-old.log" }
            << backup << "tarvinex-20260901.log"
            << "tarvinex-20260909.log"
            << "tarvinex-20260910.log"
            << "tarvinex-20261208.log";
        for (const QString &name : files)
            QVERIFY(QFile(logDir.filePath(name)).open(QIODevice::WriteOnly));
        // Short names for the table: a day's log by its month and day.
        const auto kept = [&logDir] {
            return logDir.entryList(QDir::Files, QDir::Name)
                .replaceInStrings(
                    QRegularExpression(QStringLiteral("^tarvinex-2026(\\d{4})\\.log$")),
                    QStringLiteral("\\1"))
                .join(u' ');
        };

        TestClock clock;
        StationLog log(dir.path(), clock, QStringLiteral("window"), keepDays);
        QCOMPARE(kept(), atStart);
        log.write(QStringLiteral("same day"));
        QCOMPARE(kept(), atStart);
        clock.current = clock.current.addDays(1);
        log.write(QStringLiteral("next day"));
        QCOMPARE(kept(), nextDay);
        QVERIFY(QFile::exists(backup));
    }
};

QTEST_GUILESS_MAIN(TestStationLog)
#include "tst_stationlog.moc"
