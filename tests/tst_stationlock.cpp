#include "base/StationLayout.h"
#include "base/TextFile.h"
#include "station/StationLock.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// One station folder, one running station, one master update at a time,
// across processes.
class TestStationLock : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station;

    StationLayout layout() const { return StationLayout::ofNewStation(m_station); }

    static bool startServe(QProcess &serve, const QString &station)
    {
        serve.start(QStringLiteral(TARVINEX_EXE),
                    { "serve", "--station-dir", station, "--port", "0" });
        QByteArray output;
        return QTest::qWaitFor(
                   [&] {
                       output += serve.readAllStandardOutput();
                       return output.contains("待ち受け中")
                           || serve.state() == QProcess::NotRunning;
                   },
                   10000)
            && serve.state() == QProcess::Running;
    }

    // Runs tarvinex to its end: its exit status and error output.
    static int run(const QStringList &arguments, QString *errors)
    {
        QProcess process;
        process.start(QStringLiteral(TARVINEX_EXE), arguments);
        if (!process.waitForFinished(30000))
            return -1;
        *errors = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_station = m_dir.filePath(QStringLiteral("station"));
        QCOMPARE(QProcess::execute(QStringLiteral(TARVINEX_EXE), { "init", m_station }), 0);
    }

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
        QVERIFY(QFile::exists(layout().stationLockFile()));
        QProcess next;
        QVERIFY(startServe(next, m_station));
        next.terminate();
        QVERIFY(next.waitForFinished(10000));
        QCOMPARE(next.exitCode(), 0);
    }

    void masterCommandsWaitForEachOther_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("waiting");
        QTest::newRow("scan") << QStringList { "scan" }
                              << QStringLiteral("data/0003/rcv/BUNMAS.dat");
        QTest::newRow("import") << QStringList { "import", "BUNMAS" }
                                << QStringLiteral("data/0000/rcv/BUNMAS.DAT");
    }

    void masterCommandsWaitForEachOther()
    {
        QFETCH(QStringList, command);
        QFETCH(QString, waiting);
        const QString file = m_station + u'/' + waiting;
        QFile master(file);
        QVERIFY(master.open(QIODevice::WriteOnly));
        master.write(TextFile::encode(QStringLiteral("1001\r\n")));
        master.close();

        StationLock other(layout().mastersLockFile());
        QString errors;
        QVERIFY(other.take(0, &errors));
        const QStringList arguments
            = QStringList { command.first(), "--station-dir", m_station, "--lock-wait", "1" }
            + command.mid(1);
        QCOMPARE(run(arguments, &errors), 2);
        QVERIFY2(errors.contains(QStringLiteral("PID %1").arg(QCoreApplication::applicationPid())),
                 qPrintable(errors));
        QVERIFY(QFile::exists(file));

        other.release();
        QCOMPARE(run(arguments, &errors), 0);
        if (command.first() == QLatin1String("scan"))
            QVERIFY(!QFile::exists(file));
    }
};

QTEST_GUILESS_MAIN(TestStationLock)
#include "tst_stationlock.moc"
