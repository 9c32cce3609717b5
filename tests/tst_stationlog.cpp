#include "TestClock.h"
#include "base/StationLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The log that the window, serve, scan and import share: whose line is whose,
// and how long days are kept.
class TestStationLog : public QObject
{
    Q_OBJECT

private:
    static void touch(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    static QStringList logs(const QTemporaryDir &dir)
    {
        return QDir(dir.filePath(QStringLiteral("log"))).entryList(QDir::Files, QDir::Name);
    }

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
        const QString pid = QString::number(QCoreApplication::applicationPid());
        QCOMPARE(QString::fromUtf8(file.readAll()),
                 QStringLiteral("2026-12-08 09:30:05.000 [serve %1] 待ち受け開始\n"
                                "2026-12-08 09:30:05.000 [scan %1] two | lines\n")
                     .arg(pid));
    }

    void oldDaysGoAtStartAndAsEachDayBegins_data()
    {
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<QStringList>("atStart");
        QTest::addColumn<QStringList>("nextDay");
        const QStringList all { "notes.txt",
                                "tarvinex-20260901.log",
                                "tarvinex-20260909.log",
                                "tarvinex-20260910.log",
                                "tarvinex-20261208.log",
                                "tarvinex-old.log" };
        QTest::newRow("90 days") << 90
                                 << (QStringList { "notes.txt",
                                                   "tarvinex-20260909.log",
                                                   "tarvinex-20260910.log",
                                                   "tarvinex-20261208.log",
                                                   "tarvinex-old.log" })
                                 << (QStringList { "notes.txt",
                                                   "tarvinex-20260910.log",
                                                   "tarvinex-20261208.log",
                                                   "tarvinex-20261209.log",
                                                   "tarvinex-old.log" });
        QStringList allAndNext = all + QStringList { "tarvinex-20261209.log" };
        allAndNext.sort();
        QTest::newRow("0 keeps every day") << 0 << all << allAndNext;
    }

    void oldDaysGoAtStartAndAsEachDayBegins()
    {
        QFETCH(int, keepDays);
        QFETCH(QStringList, atStart);
        QFETCH(QStringList, nextDay);
        QTemporaryDir dir;
        for (const char *name : { "notes.txt",
                                  "tarvinex-20260901.log",
                                  "tarvinex-20260909.log",
                                  "tarvinex-20260910.log",
                                  "tarvinex-20261208.log",
                                  "tarvinex-old.log" })
            touch(dir.filePath(QStringLiteral("log/") + QLatin1String(name)));
        // Order files' backups live in the data tree, which the log never touches.
        const QString backup = dir.filePath(QStringLiteral("data/backup/0001/snd/H20260101.DAT"));
        touch(backup);

        TestClock clock;
        StationLog log(dir.path(), clock, QStringLiteral("window"), keepDays);
        QCOMPARE(logs(dir), atStart);

        log.write(QStringLiteral("same day"));
        QCOMPARE(logs(dir), atStart);
        clock.current = clock.current.addDays(1);
        log.write(QStringLiteral("next day"));
        QCOMPARE(logs(dir), nextDay);
        QVERIFY(QFile::exists(backup));
    }
};

QTEST_GUILESS_MAIN(TestStationLog)
#include "tst_stationlog.moc"
