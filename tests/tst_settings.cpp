#include "base/Comm.h"
#include "base/TextFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT

private:
    static Comm::Settings parsed(const QString &text)
    {
        Comm::Settings settings;
        QString error;
        if (!Comm::parseSettings(text, &settings, &error))
            qWarning("%s", qPrintable(error));
        return settings;
    }

private Q_SLOTS:
    void keysAndValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("dbPath");
        QTest::addColumn<QString>("dataRoot");

        QTest::newRow("plain") << "DBname=/srv/t.db\r\nDATA=/srv/ht/\r\n"
                               << "/srv/t.db"
                               << "/srv/ht/";
        QTest::newRow("spaces around key, = and value")
            << "  DBname  =   /srv/t.db   \r\n DATA = /srv/ht/ \r\n"
            << "/srv/t.db"
            << "/srv/ht/";
        QTest::newRow("full-width spaces trimmed")
            << QString::fromUtf8("\u3000DBname\u3000=\u3000/srv/t.db\u3000\r\n") << "/srv/t.db"
            << "";
        QTest::newRow("inner spaces kept") << "DBname=/srv/my db.db\r\n"
                                           << "/srv/my db.db"
                                           << "";
        QTest::newRow("value holding =") << "DBname=a=b=c\r\n"
                                         << "a=b=c"
                                         << "";
        QTest::newRow("other letter case ignored") << "dbname=/x.db\r\nDATA=/d/\r\n"
                                                   << ""
                                                   << "/d/";
        QTest::newRow("last value wins") << "DBname=/a.db\r\nDBname=/b.db\r\n"
                                         << "/b.db"
                                         << "";
        QTest::newRow("lines without = and unknown keys skipped")
            << "[section]\r\n\r\n; DBname\r\nFOO=bar\r\n=/nokey\r\nDBname=/a.db\r\n"
            << "/a.db"
            << "";
        QTest::newRow("lone CR line ends") << "DBname=/a.db\rDATA=/d/\r"
                                           << "/a.db"
                                           << "/d/";
        QTest::newRow("lone LF line ends") << "DBname=/a.db\nDATA=/d/\n"
                                           << "/a.db"
                                           << "/d/";
        QTest::newRow("no final line end") << "DATA=/d/"
                                           << ""
                                           << "/d/";
        QTest::newRow("DATA gets its separator") << "DATA=/srv/ht\r\n"
                                                 << ""
                                                 << "/srv/ht/";
        QTest::newRow("missing keys stay empty") << ""
                                                 << ""
                                                 << "";
    }

    void keysAndValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, dbPath);
        QFETCH(QString, dataRoot);
        const Comm::Settings settings = parsed(text);
        QCOMPARE(settings.DbPath, dbPath);
        QCOMPARE(settings.DataRoot, dataRoot);
    }

    void terminalFoldersHangBelowTheRoot()
    {
        const Comm::Settings settings = parsed(QStringLiteral("DATA=/srv/ht\r\n"));
        QCOMPARE(settings.DataRoot + Comm::terminalId(3) + QStringLiteral("/rcv/"),
                 QStringLiteral("/srv/ht/0003/rcv/"));
    }

    void ourKeysAndTheirDefaults()
    {
        Comm::Settings settings = parsed(QStringLiteral("DATA=/d\r\n"));
        QCOMPARE(settings.port, Comm::DefaultPort);
        QCOMPARE(settings.importDb, QStringLiteral("/d/0000/MasterConv.db"));
        QCOMPARE(settings.importDir, QStringLiteral("/d/0000/rcv/"));

        settings = parsed(QStringLiteral(
            "DATA=/d/\r\nPORT= 6000 \r\nIMPORTDB=/m.db\r\nIMPORTDIR=/in\r\nUNIT=ttyUSB0\r\n"));
        QCOMPARE(settings.port, quint16(6000));
        QCOMPARE(settings.importDb, QStringLiteral("/m.db"));
        QCOMPARE(settings.importDir, QStringLiteral("/in/"));
        QCOMPARE(settings.value(QStringLiteral("UNIT")), QStringLiteral("ttyUSB0"));
    }

    void relativePathsAreTakenFromTheStationFolder()
    {
        Comm::Settings settings;
        settings.stationDir = QStringLiteral("/srv/shop12");
        QString error;
        QVERIFY(Comm::parseSettings(QStringLiteral("DBname=tarvinex.db\r\nDATA=data\r\n"
                                                   "IMPORTDB=postgresql://h/m?schema=s\r\n"
                                                   "IMPORTDIR=../in\r\nLOGDAYS=0\r\n"),
                                    &settings,
                                    &error));
        QCOMPARE(settings.DbPath, QStringLiteral("/srv/shop12/tarvinex.db"));
        QCOMPARE(settings.DataRoot, QStringLiteral("/srv/shop12/data/"));
        QCOMPARE(settings.importDb, QStringLiteral("postgresql://h/m?schema=s"));
        QCOMPARE(settings.importDir, QStringLiteral("/srv/in/"));
        QCOMPARE(settings.logDays, 0);
        QCOMPARE(parsed(QString()).logDays, 90);
    }

    void stationsThatCannotRunAreStopped_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        QTest::newRow("complete") << "DBname=t.db\r\nDATA=data\r\n" << QString();
        QTest::newRow("PORT alone") << "PORT=6000\r\n"
                                    << "DBname";
        QTest::newRow("no DATA") << "DBname=t.db\r\n"
                                 << "DATA";
        QTest::newRow("DATA folder missing") << "DBname=t.db\r\nDATA=elsewhere\r\n"
                                             << "elsewhere";
        QTest::newRow("LOGDAYS a word") << "DBname=t.db\r\nDATA=data\r\nLOGDAYS=many\r\n"
                                        << "LOGDAYS";
    }

    void stationsThatCannotRunAreStopped()
    {
        QFETCH(QString, text);
        QFETCH(QString, named);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("data")));
        QFile file(dir.filePath(QStringLiteral("Tarvinex.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toLatin1());
        file.close();

        Comm::Settings settings;
        QString error;
        const bool runs = Comm::LoadSettings(dir.path(), &settings, &error)
            && Comm::checkSettings(settings, &error);
        QCOMPARE(runs, named.isEmpty());
        QVERIFY2(error.contains(named), qPrintable(error));
    }

    void unusablePortIsRefused_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("word") << "abc";
        QTest::newRow("zero") << "0";
        QTest::newRow("too large") << "65536";
        QTest::newRow("negative") << "-1";
    }

    void unusablePortIsRefused()
    {
        QFETCH(QString, port);
        Comm::Settings settings;
        QString error;
        QVERIFY(!Comm::parseSettings(QStringLiteral("PORT=") + port, &settings, &error));
        QVERIFY2(error.contains(QStringLiteral("PORT")), qPrintable(error));
    }

    void loadsCp932FromTheStationFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString dbPath = dir.path() + QStringLiteral("/ハンディ/マスタ.db");
        QFile file(dir.filePath(QStringLiteral("Tarvinex.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(TextFile::encode(QStringLiteral("DBname=") + dbPath + QStringLiteral("\r\nDATA=")
                                    + dir.path() + QStringLiteral("/データ\r\n")));
        file.close();

        Comm::Settings settings;
        QString error;
        QVERIFY2(Comm::LoadSettings(dir.path(), &settings, &error), qPrintable(error));
        QCOMPARE(settings.DbPath, dbPath);
        QCOMPARE(settings.DataRoot, dir.path() + QStringLiteral("/データ/"));
        QCOMPARE(settings.stationDir, QDir::cleanPath(dir.path()));

        // A path with bytes that are not CP932 is refused, naming the line,
        // rather than read as some other path.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
        file.write("IMPORTDB=/srv/\x85\x40.db\r\n");
        file.close();
        QVERIFY(!Comm::LoadSettings(dir.path(), &settings, &error));
        QVERIFY2(error.contains(QStringLiteral("3 行目")), qPrintable(error));
    }

    void missingFileIsReportedByPath()
    {
        QTemporaryDir dir;
        Comm::Settings settings;
        QString error;
        QVERIFY(!Comm::LoadSettings(dir.path(), &settings, &error));
        QVERIFY2(error.contains(dir.path() + QStringLiteral("/Tarvinex.ini")), qPrintable(error));
    }

    void zeroPad_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("padded");
        QTest::newRow("one digit") << "7"
                                   << "0007";
        QTest::newRow("five digits unchanged") << "12345"
                                               << "12345";
        QTest::newRow("already four") << "0012"
                                      << "0012";
        QTest::newRow("empty text") << ""
                                    << "0000";
    }

    void zeroPad()
    {
        QFETCH(QString, value);
        QFETCH(QString, padded);
        QCOMPARE(Comm::ZeroPad(4, value), padded);
    }

    void zeroPadNumbers()
    {
        QCOMPARE(Comm::ZeroPad(4, 7), QStringLiteral("0007"));
        QCOMPARE(Comm::ZeroPad(4, 12345), QStringLiteral("12345"));
        QCOMPARE(Comm::terminalId(11), QStringLiteral("0011"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
