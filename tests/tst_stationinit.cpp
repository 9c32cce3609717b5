#include "Files.h"
#include "TestDatabases.h"
#include "base/Comm.h"
#include "base/LinkExposure.h"
#include "base/LinkKeyFile.h"
#include "link/LinkKey.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "station/KeyCommand.h"
#include "station/StationInit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestStationInit : public QObject
{
    Q_OBJECT

private:
    static mode_t mode(const QString &path)
    {
        struct stat status;
        return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777
                                                                         : mode_t(-1);
    }

    static QStringList columnsOf(QSqlDatabase &db, const QString &table)
    {
        QStringList columns;
        const QSqlRecord record = db.record(table);
        for (int i = 0; i < record.count(); ++i)
            columns.append(record.fieldName(i));
        return columns;
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void laysOutAStationThatLoads()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.path() + QStringLiteral("/station");
        QString message;
        QCOMPARE(StationInit::run(dir, &message), StationInit::Result::Created);

        QFile ini(dir + QStringLiteral("/Tarvinex.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray text = ini.readAll();
        QVERIFY(text.endsWith("\r\n"));
        QVERIFY(!text.contains("\n\n"));

        Comm::Settings settings;
        QVERIFY2(Comm::LoadSettings(dir, &settings, &message), qPrintable(message));
        QCOMPARE(settings.DbPath, dir + QStringLiteral("/tarvinex.db"));
        QCOMPARE(settings.DataRoot, dir + QStringLiteral("/data/"));
        QCOMPARE(settings.port, quint16(50211));
        QCOMPARE(settings.importDb, dir + QStringLiteral("/data/0000/MasterConv.db"));
        QCOMPARE(settings.importDir, dir + QStringLiteral("/data/0000/rcv"));

        for (int terminal = 1; terminal <= 11; ++terminal) {
            const QString id = Comm::terminalId(terminal);
            for (const QString &folder :
                 { settings.DataRoot + id + QStringLiteral("/rcv"),
                   settings.DataRoot + id + QStringLiteral("/snd"),
                   settings.DataRoot + QStringLiteral("backup/") + id + QStringLiteral("/snd") }) {
                QVERIFY2(QFileInfo(folder).isDir(), qPrintable(folder));
            }
        }
        QVERIFY(QFileInfo(settings.importDir).isDir());
        QVERIFY(!QFileInfo::exists(settings.DataRoot + QStringLiteral("0012")));

        // Without a key, as the test fixtures make stations: version 1 on
        // loopback, and nothing to warn of.
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/link.key")));
        QVERIFY(settings.linkKey.isEmpty() && settings.acceptV1);
        QCOMPARE(Comm::effectiveListen(settings), QStringList { "loopback" });
        QCOMPARE(settings.warnings, QStringList());
    }

    void laysOutAStationWithAKey()
    {
        QTemporaryDir tmp;
        const QByteArray key = Link::generateKey();
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Z2-7]{4}(-[A-Z2-7]{4}){7}$"))
                     .match(QString::fromLatin1(key))
                     .hasMatch(),
                 key.constData());
        StationInit::Options options;
        options.linkKey = key;
        QString message;
        QCOMPARE(StationInit::run(tmp.path(), &message, {}, {}, options),
                 StationInit::Result::Created);

        const QString keyFile = tmp.filePath(QStringLiteral("link.key"));
        QCOMPARE(mode(keyFile), mode_t(0600));
        Comm::Settings settings;
        QVERIFY2(Comm::LoadSettings(tmp.path(), &settings, &message), qPrintable(message));
        QCOMPARE(settings.linkKey, key);
        QCOMPARE(settings.linkKeyFile, keyFile);
        QVERIFY(!settings.acceptV1);
        QCOMPARE(Comm::effectiveListen(settings), QStringList { "any" });
        QCOMPARE(settings.warnings, QStringList());

        // A key already where init would write one is never overwritten.
        QTemporaryDir other;
        QVERIFY(QFile::copy(keyFile, other.filePath(QStringLiteral("link.key"))));
        options.linkKey = Link::generateKey();
        QCOMPARE(StationInit::run(other.path(), &message, {}, {}, options),
                 StationInit::Result::Refused);
        QVERIFY2(message.contains(QStringLiteral("--link-key-file")), qPrintable(message));
        QVERIFY(!QFileInfo::exists(other.filePath(QStringLiteral("Tarvinex.ini"))));
        Comm::LinkKeys kept;
        QVERIFY(Comm::readLinkKeyFile(other.filePath(QStringLiteral("link.key")),
                                      QDateTime::currentDateTimeUtc(),
                                      &kept,
                                      &message));
        QCOMPARE(kept.current, key);
    }

    // key new: the new key in use at once, the old one beside it for the
    // time asked, or gone; retired keys past their time dropped, others kept.
    void keyNewRetiresTheOldKey_data()
    {
        QTest::addColumn<QStringList>("keepOld");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("days") << QStringList { "--keep-old", "7d" } << qint64(7 * 24 * 3600);
        QTest::newRow("hours") << QStringList { "--keep-old", "36h" } << qint64(36 * 3600);
        QTest::newRow("minutes") << QStringList { "--keep-old=90m" } << qint64(90 * 60);
        QTest::newRow("not kept") << QStringList() << qint64(0);
    }

    void keyNewRetiresTheOldKey()
    {
        QFETCH(QStringList, keepOld);
        QFETCH(qint64, seconds);
        QTemporaryDir tmp;
        StationInit::Options options;
        options.linkKey = "the key in use, long enough";
        QString message;
        QCOMPARE(StationInit::run(tmp.path(), &message, {}, {}, options),
                 StationInit::Result::Created);
        const QString keyFile = tmp.filePath(QStringLiteral("link.key"));
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const Comm::RetiredKey stillValid { "still valid", before.addDays(1) };
        QVERIFY(Comm::writeLinkKeyFile(
            keyFile,
            { options.linkKey, { { "past its time", before.addSecs(-60) }, stillValid } },
            &message));

        QCOMPARE(Cli::key(QStringList { "new", "--station-dir", tmp.path() } + keepOld), 0);
        const QDateTime after = QDateTime::currentDateTimeUtc();
        Comm::LinkKeys keys;
        QVERIFY2(Comm::readLinkKeyFile(keyFile, after, &keys, &message), qPrintable(message));
        QCOMPARE(mode(keyFile), mode_t(0600));
        QCOMPARE(Link::canonicalKey(keys.current).size(), 32);
        if (seconds > 0) {
            QCOMPARE(keys.retired.value(0).key, options.linkKey);
            // The file keeps whole seconds.
            const QDateTime until = keys.retired.value(0).until;
            QVERIFY2(until >= before.addSecs(seconds - 1) && until <= after.addSecs(seconds),
                     qPrintable(until.toString(Qt::ISODate)));
            keys.retired.removeFirst();
        }
        QCOMPARE(keys.retired.size(), 1);
        QCOMPARE(keys.retired.first().key, stillValid.key);
    }

    void bothDatabasesHoldTheSixTables()
    {
        QTemporaryDir tmp;
        QString message;
        QCOMPARE(StationInit::run(tmp.path(), &message), StationInit::Result::Created);

        DatabaseConnection terminal;
        QVERIFY(terminal.open(tmp.path() + QStringLiteral("/tarvinex.db")));
        DatabaseConnection maintenance;
        QVERIFY(maintenance.open(tmp.path() + QStringLiteral("/data/0000/MasterConv.db")));
        for (const Masters::Definition &master : Masters::all()) {
            QCOMPARE(columnsOf(terminal.database(), master.name), master.terminalColumns());
            QCOMPARE(columnsOf(maintenance.database(), master.name), master.importColumns());
            QVERIFY(!master.importColumns().contains(QStringLiteral("端末ID")));
        }
        QCOMPARE(columnsOf(terminal.database(), QStringLiteral("BUNMAS")),
                 QStringList({ "端末ID",
                               "有効区分",
                               "分類コード",
                               "分類漢字名",
                               "消費税区分",
                               "消費税率",
                               "分類カナ名",
                               "filler" }));
        QCOMPARE(columnsOf(maintenance.database(), QStringLiteral("JISYA")),
                 QStringList({ "有効区分", "自社コード", "商品コード" }));
        QCOMPARE(columnsOf(terminal.database(), QStringLiteral("SHOMAS")).size(), 28);
        QCOMPARE(columnsOf(maintenance.database(), QStringLiteral("SHOMAS")).size(), 27);
        QCOMPARE(columnsOf(maintenance.database(), QStringLiteral("SIRMAS")).size(), 9);

        // One row per terminal and key.
        QSqlQuery insert(terminal.database());
        const QString sql
            = QStringLiteral("INSERT INTO BUNMAS (\"端末ID\", \"分類コード\") VALUES (?, ?)");
        QVERIFY(insert.prepare(sql));
        insert.addBindValue(QStringLiteral("0001"));
        insert.addBindValue(QStringLiteral("0100"));
        QVERIFY(insert.exec());
        insert.addBindValue(QStringLiteral("0002"));
        insert.addBindValue(QStringLiteral("0100"));
        QVERIFY(insert.exec());
        insert.addBindValue(QStringLiteral("0001"));
        insert.addBindValue(QStringLiteral("0100"));
        QVERIFY(!insert.exec());
    }

    void laysOutTablesOnAServer()
    {
        if (TestDatabases::engine() != TestDatabases::PostgreSQL)
            QSKIP("on the server: tst_stationinit_postgresql");
        QTemporaryDir tmp;
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const StationInit::Databases databases {
            TestDatabases::serverLocation(QStringLiteral("init_terminal_") + pid),
            TestDatabases::serverLocation(QStringLiteral("init_maintenance_") + pid)
        };
        QString message;
        QCOMPARE(StationInit::run(tmp.path(), &message, databases), StationInit::Result::Created);

        Comm::Settings settings;
        QVERIFY(Comm::LoadSettings(tmp.path(), &settings, &message));
        QCOMPARE(settings.DbPath, databases.terminal);
        QCOMPARE(settings.importDb, databases.maintenance);
        QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("tarvinex.db"))));

        DatabaseConnection terminal;
        QVERIFY2(terminal.open(settings.DbPath), qPrintable(terminal.error()));
        DatabaseConnection maintenance;
        QVERIFY2(maintenance.open(settings.importDb), qPrintable(maintenance.error()));
        for (const Masters::Definition &master : Masters::all()) {
            QCOMPARE(columnsOf(terminal.database(), master.name), master.terminalColumns());
            QCOMPARE(columnsOf(maintenance.database(), master.name), master.importColumns());
        }
    }

    // A failed init takes away the schema it made, never one that was there
    // (laysOutTablesOnAServer's), nor the folder it was given.
    void aFailedInitDropsOnlyWhatItMade()
    {
        if (TestDatabases::engine() != TestDatabases::PostgreSQL)
            QSKIP("on the server: tst_stationinit_postgresql");
        QTemporaryDir tmp;
        const QString notSqlite = tmp.filePath(QStringLiteral("not.db"));
        QVERIFY(writeFile(notSqlite, "text"));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        for (const QString &schema :
             { QStringLiteral("init_failed_"), QStringLiteral("init_terminal_") }) {
            const QString location = TestDatabases::serverLocation(schema + pid);
            const bool there = DatabaseConnection().open(location);
            QString message;
            QCOMPARE(StationInit::run(tmp.path(), &message, { location, notSqlite }),
                     StationInit::Result::Failed);
            QCOMPARE(DatabaseConnection().open(location), there);
            QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList { QStringLiteral("not.db") });
        }
    }

    void refusesAnExistingStation()
    {
        QTemporaryDir tmp;
        QFile ini(tmp.filePath(QStringLiteral("Tarvinex.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("DBname=/keep.db\r\n");
        ini.close();

        QString message;
        QCOMPARE(StationInit::run(tmp.path(), &message), StationInit::Result::Refused);
        QVERIFY(message.contains(QStringLiteral("Tarvinex.ini")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(ini.readAll(), QByteArray("DBname=/keep.db\r\n"));
        QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("data"))));
    }

    // The settings are CP932: a path it cannot hold would be written wrongly
    // and leave a station nothing can open.
    void refusesAPathTheSettingsCannotHold()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("café"));
        QString message;
        QCOMPARE(StationInit::run(dir, &message), StationInit::Result::Refused);
        QVERIFY2(message.contains(QStringLiteral("CP932")), qPrintable(message));
        QVERIFY(!QFileInfo::exists(dir));
    }

    void refusesToOpenAFileThatIsNotSqlite()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("Master.mdb"));
        QFile mdb(path);
        QVERIFY(mdb.open(QIODevice::WriteOnly));
        const QByteArray jet("\x00\x01\x00\x00Standard Jet DB\x00", 20);
        mdb.write(jet);
        mdb.close();

        DatabaseConnection connection;
        QVERIFY(!connection.open(path));
        QVERIFY2(connection.error().contains(path), qPrintable(connection.error()));
        QVERIFY(mdb.open(QIODevice::ReadOnly));
        QCOMPARE(mdb.readAll(), jet);
    }
};

QTEST_GUILESS_MAIN(TestStationInit)
#include "tst_stationinit.moc"
