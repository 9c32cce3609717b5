#include "Files.h"
#include "ServeProcess.h"
#include "base/StationLayout.h"
#include "station/StationLock.h"

#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// One running station and one master update at a time per station folder,
// across processes.
class TestStationLock : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station = m_dir.filePath(QStringLiteral("station"));

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
        const quint16 port = startServe(first, m_station);
        QVERIFY(port != 0);
        QString errors;
        QCOMPARE(
            run({ "serve", "--station-dir", m_station, "--port", QString::number(port) }, &errors),
            2);
        QVERIFY2(errors.contains(QStringLiteral("already running")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("PID %1").arg(first.processId())),
                 qPrintable(errors));
        // Nor can a terminal take the lock away by sending a file of its name.
        const QString lock = StationLayout::ofNewStation(m_station).stationLockFile();
        const QString upload = m_dir.filePath(QFileInfo(lock).fileName());
        QVERIFY(writeFile(upload, "x"));
        QVERIFY(QProcess::execute(
                    TERMINAL_EXE,
                    { "--port", QString::number(port), "--terminal", "3", "send", upload })
                != 0);
        QVERIFY(readFile(lock).startsWith(QByteArray::number(first.processId())));

        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(5000));
        QProcess next;
        QVERIFY(startServe(next, m_station) != 0);
        next.terminate();
        QVERIFY(next.waitForFinished(10000));
    }

    // A holder killed before it wrote its PID leaves an empty lock file: it is
    // taken over once nobody holds its flock, and not before.
    void anEmptyLockFileIsTakenOverOnlyWhenNobodyHoldsIt()
    {
        const QString path = m_dir.filePath(QStringLiteral("torn.lock"));
        QVERIFY(writeFile(path, QByteArray()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                                 QFileDevice::FileModificationTime));
        const int holder = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);

        StationLock lock(path);
        QString problem;
        QVERIFY(!lock.take(600, &problem));
        QVERIFY(QFile::exists(path));
        ::close(holder);
        QVERIFY2(lock.take(600, &problem), qPrintable(problem));
        QVERIFY(readFile(path).startsWith(QByteArray::number(QCoreApplication::applicationPid())));

        // One just left behind is taken even by a take that does not wait,
        // as serve's is: a service restarted at once after the kill starts.
        lock.release();
        QVERIFY(writeFile(path, QByteArray()));
        QVERIFY2(lock.take(0, &problem), qPrintable(problem));

        // Nor does a date ahead of a clock set back since keep it.
        lock.release();
        QVERIFY(writeFile(path, QByteArray()));
        QFile ahead(path);
        QVERIFY(ahead.open(QIODevice::ReadWrite));
        QVERIFY(ahead.setFileTime(QDateTime::currentDateTime().addSecs(3600),
                                  QFileDevice::FileModificationTime));
        QVERIFY2(lock.take(0, &problem), qPrintable(problem));
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

    // After a restart PIDs repeat: a lock file may name a live process, even
    // one of the very name, that holds nothing. Whoever holds no flock on it
    // holds no lock, whatever the file records or however it is dated.
    void aLockNobodyHoldsIsTakenWhateverItRecords()
    {
        const StationLayout layout = StationLayout::ofNewStation(m_station);
        const QByteArray live = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
            + QCoreApplication::applicationName().toUtf8() + '\n'
            + QSysInfo::machineHostName().toUtf8() + '\n';
        for (const QString &path : { layout.stationLockFile(), layout.mastersLockFile() }) {
            QVERIFY(writeFile(path, live));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(QDateTime::currentDateTime().addDays(1),
                                        QFileDevice::FileModificationTime));
        }
        QString errors;
        QCOMPARE(run({ "scan", "--station-dir", m_station, "--lock-wait", "0" }, &errors), 0);
        QProcess serve;
        QVERIFY(startServe(serve, m_station) != 0);
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
    }

    // An older station holds its lock through QLockFile, which flocks it too.
    void aLockHeldByAnOlderStationIsRefused()
    {
        const QString path = m_dir.filePath(QStringLiteral("older.lock"));
        QLockFile older(path);
        QVERIFY(older.tryLock(0));
        StationLock lock(path);
        QString problem;
        QVERIFY(!lock.take(0, &problem));
        QCOMPARE(lock.error(), QLockFile::LockFailedError);
        QVERIFY2(problem.contains(QStringLiteral("PID %1").arg(QCoreApplication::applicationPid())),
                 qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(TestStationLock)
#include "tst_stationlock.moc"
