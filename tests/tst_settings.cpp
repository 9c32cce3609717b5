#include "base/Comm.h"
#include "base/Cp932.h"
#include "base/LinkExposure.h"
#include "base/LinkKeyFile.h"
#include "base/SettingsParser.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

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

    // A station folder with these settings, its data folder and a file
    // beside them; the mode given to each.
    static bool writeStation(const QString &dir,
                             const QString &text,
                             mode_t settingsMode,
                             const QString &file = {},
                             const QByteArray &bytes = {},
                             mode_t fileMode = 0600)
    {
        QFile settings(dir + QStringLiteral("/Tarvinex.ini"));
        if (!QDir(dir).mkpath(QStringLiteral("data")) || !settings.open(QIODevice::WriteOnly)
            || settings.write(Cp932::encode(text)) < 0)
            return false;
        settings.close();
        if (::chmod(QFile::encodeName(settings.fileName()).constData(), settingsMode) != 0)
            return false;
        if (file.isEmpty())
            return true;
        const QString path = QDir(dir).filePath(file);
        QFile key(path);
        return QDir().mkpath(QFileInfo(path).path()) && key.open(QIODevice::WriteOnly)
            && key.write(bytes) == bytes.size() && key.flush()
            && ::chmod(QFile::encodeName(path).constData(), fileMode) == 0;
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
        Comm::Settings settings = parsed(QStringLiteral("DATA=/srv/ht\r\n"));
        settings.stationDir = QStringLiteral("/srv/station");
        const StationLayout layout = settings.layout();
        QCOMPARE(layout.receiveFolder(3), QStringLiteral("/srv/ht/0003/rcv"));
        QCOMPARE(layout.receiveFolder(11), QStringLiteral("/srv/ht/0011/rcv"));
        QCOMPARE(layout.masterFile(QStringLiteral("BUNMAS"), QStringLiteral("0003")),
                 QStringLiteral("/srv/ht/0003/rcv/BUNMAS.dat"));
        // One rule for every folder: none ends with "/", a file is joined to it.
        for (const QString &folder : { layout.transferFolder(),
                                       layout.unfiledFolder(),
                                       layout.logFolder(),
                                       layout.defaultImportFolder(),
                                       layout.sendFolder(3),
                                       layout.backupFolder(3) })
            QVERIFY2(!folder.endsWith(u'/'), qPrintable(folder));
        QCOMPARE(StationLayout::join(layout.unfiledFolder(), QStringLiteral("x")),
                 QStringLiteral("/srv/station/unfiled/x"));
        QCOMPARE(StationLayout(QStringLiteral("/"), QStringLiteral("/")).sendFolder(1),
                 QStringLiteral("/0001/snd"));
    }

    void ourKeysAndTheirDefaults()
    {
        Comm::Settings settings = parsed(QStringLiteral("DATA=/d\r\nMAXFILE=\r\n"));
        QCOMPARE(settings.port, Comm::DefaultPort);
        QCOMPARE(settings.importDb, QStringLiteral("/d/0000/MasterConv.db"));
        QCOMPARE(settings.importDir, QStringLiteral("/d/0000/rcv"));
        QCOMPARE(settings.maxFile, Comm::DefaultMaxFile);
        QCOMPARE(settings.minFree, Comm::DefaultMinFree);
        QVERIFY(settings.unit.isEmpty() && settings.linkKey.isEmpty());
        QCOMPARE(parsed(QStringLiteral("MINFREE=512M\r\n")).minFree, qint64(512) << 20);
        QCOMPARE(parsed(QStringLiteral("MINFREE=3G\r\n")).minFree, qint64(3) << 30);
        QCOMPARE(parsed(QStringLiteral("MINFREE=0\r\n")).minFree, qint64(0));

        settings = parsed(QStringLiteral("DATA=/d/\r\nPORT= 6000 \r\nIMPORTDB=/m.db\r\n"
                                         "IMPORTDIR=/in/\r\nUNIT=ttyUSB0\r\nMAXFILE=1000\r\n"
                                         "LINKKEY= ひらけ ごま \r\n"));
        QCOMPARE(settings.port, quint16(6000));
        QCOMPARE(settings.importDb, QStringLiteral("/m.db"));
        QCOMPARE(settings.importDir, QStringLiteral("/in"));
        QCOMPARE(settings.unit, QStringLiteral("ttyUSB0"));
        QCOMPARE(settings.maxFile, qint64(1000));
        QCOMPARE(settings.linkKey, QStringLiteral("ひらけ ごま").toUtf8());
    }

    void linkSettings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("listen");
        QTest::addColumn<bool>("insecureListen");
        QTest::addColumn<bool>("acceptV1");
        QTest::addColumn<bool>("noticesLogged");
        QTest::newRow("none given") << "" << QStringList() << false << true << false;
        QTest::newRow("words in capitals")
            << "LISTEN=ANY\r\nINSECURE_LISTEN=Yes\r\nLINKV1=NO\r\nNOTICES=LOG\r\n"
            << QStringList { "any" } << true << false << true;
        QTest::newRow("loopback")
            << "LISTEN= loopback \r\nLINKV1=yes\r\nINSECURE_LISTEN=no\r\nNOTICES=box\r\n"
            << QStringList { "loopback" } << false << true << false;
        QTest::newRow("addresses as written")
            << "LISTEN=192.168.1.10, ::1,FE80::1,::ffff:10.0.0.1\r\nNOTICES=log\r\n"
            << QStringList { "192.168.1.10", "::1", "FE80::1", "::ffff:10.0.0.1" } << false << true
            << true;
    }

    void linkSettings()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, listen);
        QFETCH(bool, insecureListen);
        QFETCH(bool, acceptV1);
        QFETCH(bool, noticesLogged);
        const Comm::Settings settings = parsed(text);
        QCOMPARE(settings.listen, listen);
        QCOMPARE(settings.insecureListen, insecureListen);
        QCOMPARE(settings.acceptV1, acceptV1);
        QCOMPARE(settings.notices == Comm::Settings::Notices::Log, noticesLogged);
    }

    void relativePathsAreTakenFromTheStationFolder()
    {
        Comm::Settings settings;
        settings.stationDir = QStringLiteral("/srv/shop12");
        QString error;
        QVERIFY(Comm::parseSettings(QStringLiteral("DBname=tarvinex.db\r\nDATA=data\r\n"
                                                   "IMPORTDB=postgresql://h/m?schema=s\r\n"
                                                   "IMPORTDIR=../in\r\nLOGDAYS=0\r\n"
                                                   "LINKKEYFILE=keys/link.key\r\n"),
                                    &settings,
                                    &error));
        QCOMPARE(settings.DbPath, QStringLiteral("/srv/shop12/tarvinex.db"));
        QCOMPARE(settings.DataRoot, QStringLiteral("/srv/shop12/data/"));
        QCOMPARE(settings.importDb, QStringLiteral("postgresql://h/m?schema=s"));
        QCOMPARE(settings.importDir, QStringLiteral("/srv/in"));
        QCOMPARE(settings.logDays, 0);
        QCOMPARE(settings.linkKeyFile, QStringLiteral("/srv/shop12/keys/link.key"));
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
                                        << "の 3 行目: LOGDAYS";
        QTest::newRow("MAXFILE a word") << "DBname=t.db\r\nDATA=data\r\nMAXFILE=abc\r\n"
                                        << "の 3 行目: MAXFILE の値が正しくありません: abc";
        QTest::newRow("DBname mistyped") << "dbname=t.db\r\nDATA=data\r\n"
                                         << "DBname がありません（1 行目の dbname は DBname";
        QTest::newRow("DATA mistyped") << "DBname=t.db\r\nDTA=data\r\n"
                                       << "DATA がありません（2 行目の DTA は DATA";
    }

    void stationsThatCannotRunAreStopped()
    {
        QFETCH(QString, text);
        QFETCH(QString, named);
        QTemporaryDir dir;
        QVERIFY(writeStation(dir.path(), text, 0600));

        Comm::Settings settings;
        QString error;
        const bool runs = Comm::LoadSettings(dir.path(), &settings, &error)
            && Comm::checkSettings(settings, &error);
        QCOMPARE(runs, named.isEmpty());
        QVERIFY2(error.contains(named), qPrintable(error));
    }

    void unusableValuesAreRefused_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("accepted");
        const QString port = QStringLiteral("1〜65535 の整数");
        QTest::newRow("port a word") << "PORT=abc" << port;
        QTest::newRow("port zero") << "PORT=0" << port;
        QTest::newRow("port too large") << "PORT=65536" << port;
        QTest::newRow("port negative") << "PORT=-1" << port;
        const QString maxFile = QStringLiteral("1 以上の整数");
        QTest::newRow("maxfile a word") << "MAXFILE=abc" << maxFile;
        QTest::newRow("maxfile zero") << "MAXFILE=0" << maxFile;
        QTest::newRow("maxfile 1.5 MB") << "MAXFILE=1.5e6" << maxFile;
        const QString minFree = QStringLiteral("K・M・G を付けると KiB・MiB・GiB");
        QTest::newRow("minfree negative") << "MINFREE=-1" << minFree;
        QTest::newRow("minfree a fraction") << "MINFREE=1.5G" << minFree;
        QTest::newRow("minfree in terabytes") << "MINFREE=2T" << minFree;
        QTest::newRow("minfree a unit alone") << "MINFREE=M" << minFree;
        QTest::newRow("minfree past 8 EiB") << "MINFREE=8589934592G" << minFree;
        const QString logDays = QStringLiteral("0〜36500 の整数");
        QTest::newRow("logdays negative") << "LOGDAYS=-1" << logDays;
        QTest::newRow("logdays a century and a day") << "LOGDAYS=36501" << logDays;
        const QString listen = QString::fromUtf8(Comm::ListenValues);
        QTest::newRow("listen a host name") << "LISTEN=station.local" << listen;
        QTest::newRow("listen any among addresses") << "LISTEN=any,127.0.0.1" << listen;
        QTest::newRow("listen an empty item") << "LISTEN=10.0.0.1,,10.0.0.2" << listen;
        QTest::newRow("listen a short IPv4 form") << "LISTEN=10.1" << listen;
        QTest::newRow("listen with a scope") << "LISTEN=fe80::1%eth0" << listen;
        QTest::newRow("listen with a port") << "LISTEN=10.0.0.1:50211" << listen;
        const QString yesNo = QStringLiteral("yes または no");
        QTest::newRow("insecure_listen true") << "INSECURE_LISTEN=true" << yesNo;
        QTest::newRow("linkv1 a number") << "LINKV1=1" << yesNo;
        QTest::newRow("notices quiet") << "NOTICES=quiet" << QStringLiteral("box または log");
    }

    void unusableValuesAreRefused()
    {
        QFETCH(QString, line);
        QFETCH(QString, accepted);
        Comm::Settings settings;
        QString error;
        QVERIFY(!Comm::parseSettings(
            QStringLiteral("DATA=/d\r\n  ") + line + QStringLiteral("\r\n"), &settings, &error));
        const QString named = QStringLiteral("2 行目: %1 の値が正しくありません: %2（")
                                  .arg(line.section(u'=', 0, 0), line.section(u'=', 1));
        QVERIFY2(error.startsWith(named) && error.contains(accepted), qPrintable(error));
    }

    void lookalikeKeysAreWarnedOf_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("meant");
        QTest::newRow("letter case") << "Dbname"
                                     << "DBname";
        QTest::newRow("a letter dropped") << "MAXFIL"
                                          << "MAXFILE";
        QTest::newRow("two letters swapped") << "MAXFLIE"
                                             << "MAXFILE";
        QTest::newRow("nearer of two") << "IMPORTDIRS"
                                       << "IMPORTDIR";
        QTest::newRow("key file") << "LINK_KEYFILE"
                                  << "LINKKEYFILE";
        QTest::newRow("short, case only") << "port"
                                          << "PORT";
        QTest::newRow("a short slip") << "PRT"
                                      << "PORT";
        QTest::newRow("as many edits as letters") << "AT"
                                                  << "";
        QTest::newRow("four edits") << "MAXBYTES"
                                    << "";
    }

    void lookalikeKeysAreWarnedOf()
    {
        QFETCH(QString, key);
        QFETCH(QString, meant);
        const Comm::Settings settings
            = parsed(QStringLiteral("DATA=/d\r\n") + key + QStringLiteral("=7\r\n"));
        if (meant.isEmpty()) {
            QCOMPARE(settings.warnings, QStringList());
            return;
        }
        QCOMPARE(settings.warnings.size(), 1);
        const QString warning = settings.warnings.first();
        QVERIFY2(warning.startsWith(QStringLiteral("2 行目: ") + key) && warning.contains(meant),
                 qPrintable(warning));
        // Still ignored: a guess does not set anything.
        QCOMPARE(settings.logDays, Comm::DefaultLogDays);
        QCOMPARE(settings.maxFile, Comm::DefaultMaxFile);
    }

    void linkKeyHasAHomeOfItsOwn_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("settingsMode");
        QTest::addColumn<QString>("keyFile");
        QTest::addColumn<QByteArray>("keyBytes");
        QTest::addColumn<int>("keyMode");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<QString>("warned");
        const QString plain = QStringLiteral("DBname=t.db\r\nDATA=data\r\nLINKV1=no\r\n");
        const QString keyed = plain + QStringLiteral("LINKKEY=open sesame, open wide\r\n");
        const QString elsewhere = plain + QStringLiteral("LINKKEYFILE=keys/terminals.key\r\n");
        const QString none;
        const QByteArray sesame("open sesame, open wide");
        const QByteArray sesameLine = sesame + "\n";
        QTest::newRow("no key") << plain << 0644 << none << QByteArray() << 0 << QByteArray()
                                << none << none;
        QTest::newRow("link.key") << plain << 0644 << "link.key" << sesameLine << 0600 << sesame
                                  << none << none;
        QTest::newRow("first line as written")
            << plain << 0644 << "link.key" << QByteArray(" open\tsesame, open wide \r\n\r\n")
            << 0600 << QByteArray(" open\tsesame, open wide ") << none << none;
        const QByteArray kanji = QStringLiteral("開けゴマ開けゴマ開けゴマ開けゴマ").toUtf8();
        QTest::newRow("LINKKEYFILE, sixteen characters")
            << elsewhere << 0644 << "keys/terminals.key" << kanji << 0400 << kanji << none << none;
        QTest::newRow("LINKKEYFILE missing")
            << elsewhere << 0644 << none << QByteArray() << 0 << QByteArray()
            << "keys/terminals.key を開けません" << none;
        QTest::newRow("empty link.key") << plain << 0644 << "link.key" << QByteArray() << 0600
                                        << QByteArray() << "link.key に鍵がありません" << none;
        QTest::newRow("blank first line")
            << elsewhere << 0644 << "keys/terminals.key" << QByteArray(" \r\nsesame\r\n") << 0600
            << QByteArray() << "terminals.key に鍵がありません" << none;
        QTest::newRow("a later line not a retired key")
            << plain << 0644 << "link.key" << sesameLine + "\r\nsesame\r\n"
            << 0600 << QByteArray() << "link.key の 3 行目" << none;
        QTest::newRow("link.key others read")
            << plain << 0644 << "link.key" << sesameLine << 0604 << sesame << none << "chmod 600";
        QTest::newRow("link.key the group writes")
            << plain << 0644 << "link.key" << sesameLine << 0620 << sesame << none
            << "link.key は他のアカウント";
        QTest::newRow("a short key") << plain << 0644 << "link.key" << kanji.left(18) << 0600
                                     << kanji.left(18) << none << "の鍵は 6 文字しか";
        QTest::newRow("a key and LINKV1 left on")
            << QStringLiteral("DBname=t.db\r\nDATA=data\r\n") << 0644 << "link.key" << sesameLine
            << 0600 << sesame << none << "LINKV1=no としてください";
        QTest::newRow("LINKKEY in private settings")
            << keyed << 0640 << none << QByteArray() << 0 << sesame << none << none;
        QTest::newRow("LINKKEY in settings others read")
            << keyed << 0644 << none << QByteArray() << 0 << sesame << none
            << "LINKKEY は他のアカウントも読めます";
        QTest::newRow("LINKKEY and link.key")
            << keyed << 0600 << "link.key" << QByteArray("k") << 0600 << QByteArray()
            << "LINKKEY と鍵ファイル" << none;
        QTest::newRow("LINKKEY and LINKKEYFILE")
            << keyed + QStringLiteral("LINKKEYFILE=keys/terminals.key\r\n") << 0600
            << "keys/terminals.key" << QByteArray("k") << 0600 << QByteArray()
            << "LINKKEY と鍵ファイル" << none;

        // Without a key, nothing on the link is secret or proven: such a
        // station stays on loopback unless told otherwise in so many words.
        const QString refusal = QStringLiteral("LISTEN=%1 で待ち受けません.*tarvinex key new.*"
                                               "INSECURE_LISTEN=yes");
        QTest::newRow("no key, any address")
            << plain + "LISTEN=any\r\n"
            << 0644 << none << QByteArray() << 0 << QByteArray() << refusal.arg("any") << none;
        QTest::newRow("no key, one address beyond loopback")
            << plain + "LISTEN=127.0.0.1,::1,0.0.0.0\r\n"
            << 0644 << none << QByteArray() << 0 << QByteArray()
            << refusal.arg("127.0.0.1,::1,0.0.0.0") << none;
        QTest::newRow("no key, loopback addresses")
            << plain + "LISTEN=127.0.0.2,::1,::ffff:127.0.0.1\r\n"
            << 0644 << none << QByteArray() << 0 << QByteArray() << none << none;
        QTest::newRow("no key, INSECURE_LISTEN alone stays on loopback")
            << plain + "INSECURE_LISTEN=yes\r\n"
            << 0644 << none << QByteArray() << 0 << QByteArray() << none << none;
        QTest::newRow("no key, knowingly open") << plain + "LISTEN=any\r\nINSECURE_LISTEN=yes\r\n"
                                                << 0644 << none << QByteArray() << 0 << QByteArray()
                                                << none << "INSECURE_LISTEN=yes のため";
        QTest::newRow("a key, any address")
            << plain + "LISTEN=any\r\n"
            << 0644 << "link.key" << sesameLine << 0600 << sesame << none << none;
    }

    void linkKeyHasAHomeOfItsOwn()
    {
        QFETCH(QString, settings);
        QFETCH(int, settingsMode);
        QFETCH(QString, keyFile);
        QFETCH(QByteArray, keyBytes);
        QFETCH(int, keyMode);
        QFETCH(QByteArray, key);
        QFETCH(QString, refused);
        QFETCH(QString, warned);
        QTemporaryDir dir;
        QVERIFY(writeStation(
            dir.path(), settings, mode_t(settingsMode), keyFile, keyBytes, mode_t(keyMode)));

        Comm::Settings loaded;
        QString error;
        QCOMPARE(Comm::LoadSettings(dir.path(), &loaded, &error), refused.isEmpty());
        QVERIFY2(error.contains(QRegularExpression(refused)), qPrintable(error));
        if (refused.contains(QStringLiteral("LINKKEY")))
            QVERIFY2(error.contains(QDir(dir.path()).filePath(keyFile))
                         && error.contains(QStringLiteral("Tarvinex.ini")),
                     qPrintable(error));
        if (!refused.isEmpty())
            return;
        QCOMPARE(loaded.linkKey, key);
        QCOMPARE(loaded.warnings.size(), warned.isEmpty() ? 0 : 1);
        if (!warned.isEmpty())
            QVERIFY2(loaded.warnings.first().contains(warned), qPrintable(loaded.warnings.first()));
    }

    // Retired keys stay beside the key in use until their time, so that
    // terminals can be moved to a new key one by one.
    void retiredKeysLastUntilTheirTime_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("retired");
        QTest::addColumn<int>("refusedLine");
        QTest::newRow("one, spaces kept")
            << QByteArray("current\nretired 2026-12-16T09:00:00Z old key, spaced \n")
            << QStringList { "2026-12-16T09:00:00Z|old key, spaced " } << 0;
        QTest::newRow("expired and ending now left out, a zone taken")
            << QByteArray("current\r\nretired 2026-12-01T00:00:00Z gone\r\n\r\n"
                          "retired\t2026-12-09T00:00:00Z  gone too\r"
                          "retired 2027-01-01T00:00:00+09:00 kept\r\n")
            << QStringList { "2026-12-31T15:00:00Z|kept" } << 0;
        QTest::newRow("no zone") << QByteArray("current\nretired 2026-12-16T09:00:00 old\n")
                                 << QStringList() << 2;
        QTest::newRow("no time") << QByteArray("current\n\nretired soon old\n") << QStringList()
                                 << 3;
        QTest::newRow("no key") << QByteArray("current\r\nretired 2026-12-16T09:00:00Z \r\n")
                                << QStringList() << 2;
        QTest::newRow("word run on")
            << QByteArray("current\nretired2026-12-16T09:00:00Z old\n") << QStringList() << 2;
    }

    void retiredKeysLastUntilTheirTime()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, retired);
        QFETCH(int, refusedLine);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("link.key"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const QDateTime now
            = QDateTime::fromString(QStringLiteral("2026-12-09T00:00:00Z"), Qt::ISODate);

        Comm::LinkKeys keys;
        QString error;
        QCOMPARE(Comm::readLinkKeyFile(path, now, &keys, &error), refusedLine == 0);
        if (refusedLine) {
            const QString named = QStringLiteral("%1 の %2 行目").arg(path).arg(refusedLine);
            QVERIFY2(error.contains(named) && !error.contains(QStringLiteral("old")),
                     qPrintable(error));
            return;
        }
        QCOMPARE(keys.current, QByteArray("current"));
        QStringList read;
        for (const Comm::RetiredKey &key : keys.retired)
            read.append(key.until.toString(Qt::ISODate) + u'|' + QString::fromUtf8(key.key));
        QCOMPARE(read, retired);

        // Written back, the file reads the same, private to this account
        // whatever the umask, and a link at its name is replaced, never
        // written through.
        const QString target = dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QFile::link(target, path + QStringLiteral(".new")));
        QVERIFY2(Comm::writeLinkKeyFile(path + QStringLiteral(".new"), keys, &error),
                 qPrintable(error));
        QVERIFY(!QFileInfo::exists(target));
        Comm::LinkKeys again;
        QVERIFY(Comm::readLinkKeyFile(path + QStringLiteral(".new"), now, &again, &error));
        QCOMPARE(again.current, keys.current);
        QCOMPARE(again.retired.size(), keys.retired.size());
        QCOMPARE(again.retired.value(0).until, keys.retired.value(0).until);
        QCOMPARE(again.retired.value(0).key, keys.retired.value(0).key);
        struct stat status;
        QVERIFY(::stat(QFile::encodeName(path + QStringLiteral(".new")).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0600));
    }

    void loadsCp932FromTheStationFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString dbPath = dir.path() + QStringLiteral("/ハンディ/マスタ.db");
        QFile file(dir.filePath(QStringLiteral("Tarvinex.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Cp932::encode(QStringLiteral("DBname=") + dbPath + QStringLiteral("\r\nDATA=")
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
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
