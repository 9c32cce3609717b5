#include "Files.h"
#include "ServeProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// Who may touch the station's files: what the commands create has the access
// model's modes whatever umask they were started with, the host group gets
// its folders and nothing else, and root works on a station as its account.
class TestAccess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static int run(const QStringList &arguments,
                   mode_t callerUmask,
                   QByteArray *output = nullptr,
                   const QString &program = QStringLiteral(TARVINEX_EXE))
    {
        const mode_t saved = umask(callerUmask);
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        umask(saved);
        process.waitForFinished(60000);
        if (output)
            *output = process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    static struct stat status(const QString &path)
    {
        struct stat s {};
        ::lstat(QFile::encodeName(path).constData(), &s);
        return s;
    }

    static QString mode(const QString &path)
    {
        return QString::number(status(path).st_mode & 07777, 8);
    }

    // What init lays out and scan, import and serve create, by path and mode.
    static QList<std::pair<QString, QString>> expectedModes()
    {
        return {
            { "", "751" },
            { "Tarvinex.ini", "640" },
            { "tarvinex.db", "600" },
            { "log", "750" },
            { "transfer", "750" },
            { "unfiled", "750" },
            { "data", "2750" },
            { "data/0003", "2750" },
            { "data/0003/rcv", "2770" },
            { "data/0003/snd", "2770" },
            { "data/backup/0003/snd", "2750" },
            { "data/0000/rcv", "2770" },
            { "data/0000/MasterConv.db", "600" },
            { "data/0003/rcv/BUNMAS.csv", "640" },
        };
    }

    void compareModes(const QString &station)
    {
        for (const auto &[path, expected] : expectedModes())
            QVERIFY2(mode(station + u'/' + path) == expected,
                     qPrintable(path + QStringLiteral(": ") + mode(station + u'/' + path)));
        const QStringList logs = QDir(station + QStringLiteral("/log")).entryList(QDir::Files);
        QVERIFY(!logs.isEmpty());
        for (const QString &log : logs)
            QCOMPARE(mode(station + QStringLiteral("/log/") + log), QStringLiteral("640"));
    }

    // init, a scan that applies a master, an import and a serve that is
    // stopped, all under the caller's umask.
    void useStation(const QString &station, mode_t callerUmask, const QStringList &initOptions)
    {
        QCOMPARE(run(QStringList { "init", station } + initOptions, callerUmask), 0);
        QVERIFY(writeFile(station + QStringLiteral("/data/0003/rcv/BUNMAS.dat"), "1A1  FRUIT\r\n"));
        QCOMPARE(run({ "scan", "--station-dir", station }, callerUmask), 0);
        QVERIFY(writeFile(station + QStringLiteral("/data/0000/rcv/BUNMAS.DAT"), "1A1  FRUIT\r\n"));
        QCOMPARE(run({ "import", "--station-dir", station, "BUNMAS" }, callerUmask), 0);
        const mode_t saved = umask(callerUmask);
        QProcess serve;
        const bool started = startServe(serve, station) != 0;
        umask(saved);
        QVERIFY(started);
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Others may pass through, as to a station under /var/lib.
        QVERIFY(QFile::setPermissions(m_dir.path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ExeOwner | QFileDevice::ExeOther));
    }

    void modesHoldWhateverTheCallersUmask_data()
    {
        QTest::addColumn<int>("callerUmask");
        QTest::newRow("000") << 0;
        QTest::newRow("077") << 077;
    }

    void modesHoldWhateverTheCallersUmask()
    {
        QFETCH(int, callerUmask);
        const QString station = m_dir.filePath(QStringLiteral("umask") + QTest::currentDataTag());
        useStation(station, mode_t(callerUmask), {});
        compareModes(station);
    }

    // The host group gets its folders and what is made in them; the
    // station's own files keep the station's group.
    void theHostGroupSharesOnlyItsFolders()
    {
        // Root may give folders to any group; another account to its own.
        const struct group *users = getgrnam("users");
        const gid_t host = geteuid() == 0 && users ? users->gr_gid : getegid();
        const QString group = QString::fromLocal8Bit(getgrgid(host)->gr_name);
        const QString station = m_dir.filePath(QStringLiteral("group"));
        useStation(station, 022, { "--host-group", group });
        for (const char *shared :
             { "data", "data/0003/rcv", "data/backup/0003/snd", "data/0003/rcv/BUNMAS.csv" })
            QCOMPARE(status(station + u'/' + QLatin1String(shared)).st_gid, host);
        if (host != getegid()) {
            for (const char *own : { "Tarvinex.ini", "tarvinex.db", "log", "transfer" })
                QVERIFY(status(station + u'/' + QLatin1String(own)).st_gid != host);
        }
        QByteArray output;
        QCOMPARE(run({ "init", m_dir.filePath("other"), "--host-group", "no-such-group-here" },
                     022,
                     &output),
                 2);
        QVERIFY2(output.contains("no-such-group-here"), output.constData());
    }

    // An older station: everything readable by all, a root-made export, and
    // a link the host put in a receive folder.
    void permissionsBringsAnOlderStationToTheModel()
    {
        const QString station = m_dir.filePath(QStringLiteral("older"));
        useStation(station, 022, {});
        QProcess::execute(QStringLiteral("chmod"), { "-R", "a+rX,g-s", station });
        QVERIFY(writeFile(station + QStringLiteral("/link.key"), "a key\n"));
        const QString outside = m_dir.filePath(QStringLiteral("outside"));
        QVERIFY(writeFile(outside, "not the station's"));
        QVERIFY(QFile::setPermissions(outside, QFileDevice::ReadOwner));
        const QString link = station + QStringLiteral("/data/0003/rcv/TENMAS.csv");
        QVERIFY(QFile::link(outside, link));

        QByteArray output;
        QCOMPARE(run({ "permissions", "--station-dir", station }, 022, &output), 0);
        QVERIFY2(output.contains("left alone, a symbolic link: " + link.toUtf8()),
                 output.constData());
        compareModes(station);
        QCOMPARE(mode(station + QStringLiteral("/link.key")), QStringLiteral("600"));
        QCOMPARE(mode(outside), QStringLiteral("400"));
    }

    void rootWorksOnAStationAsItsAccount()
    {
        if (geteuid() != 0)
            QSKIP("needs root");
        const struct passwd *nobody = getpwnam("nobody");
        QVERIFY(nobody);
        const uid_t stationUid = nobody->pw_uid;
        const QString station = m_dir.filePath(QStringLiteral("owned"));
        QCOMPARE(run({ "init", station }, 022), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("chown"), { "-R", "nobody:", station }), 0);
        QVERIFY(writeFile(station + QStringLiteral("/data/0003/rcv/BUNMAS.dat"), "1A1  FRUIT\r\n"));

        QCOMPARE(run({ "scan", "--station-dir", station }, 022), 0);
        QStringList made { station + QStringLiteral("/data/0003/rcv/BUNMAS.csv") };
        for (const QString &log : QDir(station + QStringLiteral("/log")).entryList(QDir::Files))
            made.append(station + QStringLiteral("/log/") + log);
        QCOMPARE(made.size(), 2);
        for (const QString &path : std::as_const(made))
            QCOMPARE(status(path).st_uid, stationUid);

        QByteArray output;
        QCOMPARE(run({ "-u", "daemon", "--", TARVINEX_EXE, "scan", "--station-dir", station },
                     022,
                     &output,
                     QStringLiteral("runuser")),
                 2);
        QVERIFY2(output.contains("runuser -u nobody -- tarvinex scan"), output.constData());

        // A link in place of a folder, made by another account than the
        // station's, is not followed by root.
        const QString snd = station + QStringLiteral("/data/0005/snd");
        const QString elsewhere = m_dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkdir(elsewhere) && QDir(snd).removeRecursively());
        QVERIFY(QFile::link(elsewhere, snd));
        QCOMPARE(::lchown(QFile::encodeName(snd).constData(), getpwnam("daemon")->pw_uid, -1), 0);
        const QString before = mode(elsewhere);
        QCOMPARE(run({ "permissions", "--station-dir", station }, 022, &output), 1);
        QVERIFY2(output.contains("another account made"), output.constData());
        QCOMPARE(mode(elsewhere), before);
    }
};

QTEST_GUILESS_MAIN(TestAccess)
#include "tst_access.moc"
