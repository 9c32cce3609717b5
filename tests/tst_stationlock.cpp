#include "Files.h"
#include "base/StationLayout.h"
#include "station/StationLock.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// One running station and one master update at a time per station folder,
// across processes.
class TestStationLock : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station = m_dir.filePath(QStringLiteral("station"));

    static bool startServe(QProcess &serve, const QString &station)
    {
        serve.start(TARVINEX_EXE, { "serve", "--station-dir", station, "--port", "0" });
        const auto printedOrEnded = [&] {
            return serve.canReadLine() || serve.state() == QProcess::NotRunning;
        };
        return QTest::qWaitFor(printedOrEnded, 10000) && serve.state() == QProcess::Running;
    }

    // Runs tarvinex to its end: its exit status, its error output in *errors.
    static int run(const QStringList &arguments, QString *errors)
    {
        QProcess process;
        process.start(TARVINEX_EXE, arguments);
        process.waitForFinished(30000);
        *errors = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(QProcess::execute(TARVINEX_EXE, { "init", m_station }), 0); }

    void secondServeDoesNotStartAndAKilledOneIsTakenOver()
    {
        QProcess first;
        QVERIFY(startServe(first, m_station));
        QString errors;
        QCOMPARE(run({ "serve", "--station-dir", m_station, "--port", "0" }, &errors), 2);
        QVERIFY2(errors.contains(QStringLiteral("already running")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("PID %1").arg(first.processId())),
                 qPrintable(errors));

        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(5000));
        QProcess next;
        QVERIFY(startServe(next, m_station));
        next.terminate();
        QVERIFY(next.waitForFinished(10000));
    }

    void masterCommandsWaitForEachOther_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("file");
        QTest::newRow("scan") << QStringList { "scan" } << "data/0003/rcv/BUNMAS.dat";
        QTest::newRow("import") << QStringList { "import", "BUNMAS" } << "data/0000/rcv/BUNMAS.DAT";
    }

    void masterCommandsWaitForEachOther()
    {
        QFETCH(QStringList, command);
        QFETCH(QString, file);
        QVERIFY(writeFile(m_station + u'/' + file, "1001\r\n"));
        StationLock other(StationLayout::ofNewStation(m_station).mastersLockFile());
        QString errors;
        QVERIFY(other.take(0, &errors));
        command << "--station-dir" << m_station << "--lock-wait"
                << "1";
        QCOMPARE(run(command, &errors), 2);
        QVERIFY2(errors.contains(QStringLiteral("PID %1").arg(QCoreApplication::applicationPid())),
                 qPrintable(errors));
        QVERIFY(QFile::exists(m_station + u'/' + file));

        other.release();
        QCOMPARE(run(command, &errors), 0);
        QCOMPARE(QFile::exists(m_station + u'/' + file), command.first() == "import");
    }
};

QTEST_GUILESS_MAIN(TestStationLock)
#include "tst_stationlock.moc"
