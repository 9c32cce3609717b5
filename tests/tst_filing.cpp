#include "Files.h"
#include "StationFolder.h"
#include "TestClock.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "base/StationLog.h"
#include "comm/TransferEvents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>

namespace {

void makeReadOnly(const QString &path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser);
}

} // namespace

// A station folder with the transfer events over it.
struct Folder
{
    QTemporaryDir dir;
    StationFolder folder;
    TestClock clock;
    TestOperator op;
    StationLog log;
    // As at the station: what the operator is shown is logged.
    LoggedOperator logged;
    TransferEvents events;
    QStringList statusLines;

    Folder()
        : folder(dir.path())
        , log(folder.layout().logFolder(), clock)
        , logged(op, log)
        , events(folder.settings, logged, log, clock)
    {
        QObject::connect(&events, &TransferEvents::statusLineChanged, [this](const QString &text) {
            statusLines.append(text);
        });
    }

    // What a saved file sets off, as the control reports it.
    void saved(const QString &name, int terminal, const QByteArray &content = "data")
    {
        QVERIFY(writeFile(folder.path(name), content));
        events.TransferStatus(Link::TransferKind::Saved, name, terminal);
    }
};

class TestFiling : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void statusTexts_data()
    {
        using Kind = Link::TransferKind;
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("sending") << Kind::Sending << QStringLiteral("S_HACH.dat送信中 :3");
        QTest::newRow("receiving") << Kind::Receiving << QStringLiteral("S_HACH.dat受信中 :3");
        QTest::newRow("saving") << Kind::Saving << QStringLiteral("S_HACH.dat保存中 :3");
        QTest::newRow("saved") << Kind::Saved << QStringLiteral("S_HACH.dat保存成功 :3");
        QTest::newRow("failed") << Kind::SaveFailed << QStringLiteral("S_HACH.dat保存失敗 :3");
        QTest::newRow("log") << Kind::UnpackingLog << QStringLiteral("ログファイル解凍中");
    }

    void statusTexts()
    {
        QFETCH(Link::TransferKind, kind);
        QFETCH(QString, text);
        Folder f;
        QSignalSpy lines(&f.events, &TransferEvents::statusLineChanged);
        if (kind == Link::TransferKind::Saved)
            f.saved(QStringLiteral("S_HACH.dat"), 3);
        else
            f.events.TransferStatus(kind, QStringLiteral("S_HACH.dat"), 3);
        QCOMPARE(lines.count(), 1);
        QCOMPARE(lines.first().first().toString(), text);
    }

    void dispatchOnTheExactName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("staysInStation");
        QTest::addColumn<bool>("filed");
        QTest::newRow("order") << QStringLiteral("S_HACH.dat") << false << true;
        QTest::newRow("stocktaking") << QStringLiteral("S_TANA.dat") << false << true;
        QTest::newRow("control") << QStringLiteral("CTRL.csv") << true << false;
        QTest::newRow("control lower case") << QStringLiteral("ctrl.csv") << false << false;
        QTest::newRow("order upper case") << QStringLiteral("S_HACH.DAT") << false << false;
        QTest::newRow("other") << QStringLiteral("LOG0001.txt") << false << false;
    }

    // Any other name is kept aside, time-stamped, in the terminal's folder
    // for such files: the terminal was told it was saved.
    void dispatchOnTheExactName()
    {
        QFETCH(QString, name);
        QFETCH(bool, staysInStation);
        QFETCH(bool, filed);
        Folder f;
        f.saved(name, 3);
        QCOMPARE(QFile::exists(f.folder.path(name)), staysInStation);
        QCOMPARE(QFile::exists(f.folder.snd(3, name)), filed);
        QCOMPARE(f.folder.backups(3).size(), filed ? 1 : 0);
        const bool kept = !filed && !staysInStation;
        const QStringList keptFiles = QDir(f.folder.kept(3)).entryList(QDir::Files);
        QCOMPARE(keptFiles, kept ? QStringList { "20261208093005_" + name } : QStringList());
        if (kept)
            QCOMPARE(readFile(f.folder.kept(3) + u'/' + keptFiles.first()), QByteArray("data"));
        // The file's name is the first message, whatever it is.
        QCOMPARE(f.op.messages().first(), name);
    }

    void orderFileFiledWithItsMessages()
    {
        Folder f;
        f.saved(QStringLiteral("S_HACH.dat"), 3, "first");
        const QString received = f.folder.path(QStringLiteral("S_HACH.dat"));
        const QString sendCopy = f.folder.snd(3, QStringLiteral("S_HACH.dat"));
        const QString backup = f.folder.backup(3, QStringLiteral("20261208093005_S_HACH.dat"));
        QCOMPARE(f.op.messages(),
                 QStringList({ QStringLiteral("S_HACH.dat"),
                               received + QStringLiteral("\r\n") + sendCopy + QStringLiteral("\r\n")
                                   + backup,
                               QStringLiteral("chk-1"),
                               QStringLiteral("chk-2") }));
        QCOMPARE(readFile(sendCopy), QByteArray("first"));
        QCOMPARE(readFile(backup), QByteArray("first"));
        QVERIFY(!QFile::exists(received));
    }

    void repeatedFilesKeepEveryBackup_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("secondsApart");
        QTest::addColumn<QStringList>("backups");
        QTest::newRow("order, different seconds")
            << QStringLiteral("S_HACH.dat") << 1
            << QStringList { "20261208093005_S_HACH.dat", "20261208093006_S_HACH.dat" };
        QTest::newRow("order, same second")
            << QStringLiteral("S_HACH.dat") << 0
            << QStringList { "20261208093005-2_S_HACH.dat", "20261208093005_S_HACH.dat" };
        QTest::newRow("stocktaking, same second")
            << QStringLiteral("S_TANA.dat") << 0
            << QStringList { "20261208093005-2_S_TANA.dat", "20261208093005_S_TANA.dat" };
    }

    void repeatedFilesKeepEveryBackup()
    {
        QFETCH(QString, name);
        QFETCH(int, secondsApart);
        QFETCH(QStringList, backups);
        Folder f;
        f.saved(name, 3, "older");
        f.clock.current = f.clock.current.addSecs(secondsApart);
        f.saved(name, 3, "newer");
        QCOMPARE(readFile(f.folder.snd(3, name)), QByteArray("newer"));
        QCOMPARE(f.folder.backups(3), backups);
        // A third in the same second takes the next number.
        f.saved(name, 3, "third");
        QVERIFY(f.folder.backups(3).contains(
            f.clock.current.toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral("-")
            + QString::number(secondsApart == 0 ? 3 : 2) + u'_' + name));
        // Nor does a clock set back to the first one's second replace it.
        f.clock.current = f.clock.current.addSecs(-secondsApart);
        f.saved(name, 3, "fourth");
        QCOMPARE(f.folder.backups(3).size(), 4);
        QCOMPARE(readFile(f.folder.backup(3, QStringLiteral("20261208093005_") + name)),
                 QByteArray("older"));
    }

    void failedFilingIsReportedAndKeepsTheFile_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<QString>("expected");
        // What the terminal is told, with the system's own reason.
        QTest::addColumn<QString>("cause");
        const QString missing = QString::fromLocal8Bit(std::strerror(ENOENT));
        QTest::newRow("no send folder")
            << QStringLiteral("nosnd") << QStringLiteral("ファイルをコピーできません: ") << missing;
        QTest::newRow("read-only send copy")
            << QStringLiteral("readonly") << QStringLiteral("ファイルを置き換えられません: ")
            << QStringLiteral("read-only");
        QTest::newRow("no backup folder")
            << QStringLiteral("nobackup") << QStringLiteral("ファイルを移動できません: ")
            << missing;
    }

    void failedFilingIsReportedAndKeepsTheFile()
    {
        QFETCH(QString, breakage);
        QFETCH(QString, expected);
        QFETCH(QString, cause);
        Folder f;
        const QString name = QStringLiteral("S_HACH.dat");
        const QString sendCopy = f.folder.snd(3, name);
        if (breakage == QLatin1String("nosnd"))
            QVERIFY(QDir(f.folder.snd(3)).removeRecursively());
        if (breakage == QLatin1String("readonly")) {
            QVERIFY(writeFile(sendCopy, "kept"));
            makeReadOnly(sendCopy);
        }
        if (breakage == QLatin1String("nobackup"))
            QVERIFY(QDir(f.folder.backup(3)).removeRecursively());

        QSignalSpy refused(&f.events, &TransferEvents::filingFailed);
        f.saved(name, 3, "new");
        const QString last = f.op.messages().last();
        QVERIFY2(last.startsWith(expected), qPrintable(last));
        // Kept where no later upload of the name can replace it, and named.
        const QString kept = f.folder.unfiled(QStringLiteral("20261208093005_0003_S_HACH.dat"));
        QVERIFY2(last.contains(QStringLiteral("受信したファイルは %1 に残しました").arg(kept)),
                 qPrintable(last));
        QCOMPARE(readFile(kept), QByteArray("new"));
        QVERIFY(!QFile::exists(f.folder.path(name)));
        QCOMPARE(refused.count(), 1);
        QVERIFY(refused.first().first().toString().contains(QFileInfo(kept).fileName()));
        QVERIFY2(refused.first().first().toString().contains(cause),
                 qPrintable(refused.first().first().toString()));
        QCOMPARE(f.statusLines.last(), QStringLiteral("S_HACH.dat保存失敗 :3"));
        f.saved(name, 3, "again");
        QCOMPARE(readFile(kept), QByteArray("new"));
        if (breakage == QLatin1String("readonly"))
            QCOMPARE(readFile(sendCopy), QByteArray("kept"));
        // The failure is in the log too.
        QVERIFY(QString::fromUtf8(readFile(f.log.currentFile())).contains(expected));
        QVERIFY(f.folder.backups(3).isEmpty());
    }

    // A kept file never replaces another; one that cannot be kept stays
    // where it was received, and the operator hears why.
    void keptFilesAreNeverReplaced()
    {
        Folder f;
        Filing &filing = f.events.filing();
        QVERIFY(filing.FileDelete(QStringLiteral("absent.txt"), 3));
        QVERIFY(f.op.shown.isEmpty());
        QString first;
        QString second;
        QVERIFY(writeFile(f.folder.path(QStringLiteral("memo.txt")), "one"));
        QVERIFY(filing.FileDelete(QStringLiteral("memo.txt"), 3, &first));
        QVERIFY(writeFile(f.folder.path(QStringLiteral("memo.txt")), "two"));
        QVERIFY(filing.FileDelete(QStringLiteral("memo.txt"), 3, &second));
        QVERIFY(first != second);
        QCOMPARE(readFile(first) + readFile(second), QByteArray("onetwo"));

        QVERIFY(QDir(f.folder.kept(4)).removeRecursively());
        QVERIFY(writeFile(f.folder.kept(4), "a file where the folder goes"));
        QVERIFY(writeFile(f.folder.path(QStringLiteral("memo.txt")), "three"));
        QVERIFY(!filing.FileDelete(QStringLiteral("memo.txt"), 4));
        QVERIFY(f.op.messages().last().contains(f.folder.kept(4)));
        QCOMPARE(readFile(f.folder.path(QStringLiteral("memo.txt"))), QByteArray("three"));
    }

    // Each terminal's masters are staged in its own folder: another
    // terminal's control file leaves them, and an export the terminal no
    // longer has is withdrawn.
    void controlFileStagesExactlyTheTerminalsExports()
    {
        Folder f;
        QSignalSpy staged(&f.events, &TransferEvents::mastersStaged);
        const auto names = [&] {
            QStringList names;
            for (const QString &path : staged.last().at(1).toStringList())
                names.append(QFileInfo(path).fileName());
            return names;
        };
        // Terminal 5 has all six; terminal 3 only the category and product masters.
        for (const char *m : { "BUNMAS", "TENMAS", "SIRMAS", "TOKMAS", "SHOMAS", "JISYA" })
            QVERIFY(writeFile(f.folder.rcv(5, m + QStringLiteral(".csv")), QByteArray("5:") + m));
        QVERIFY(writeFile(f.folder.rcv(3, QStringLiteral("BUNMAS.csv")), "3:BUNMAS"));
        QVERIFY(writeFile(f.folder.rcv(3, QStringLiteral("SHOMAS.csv")), "3:SHOMAS"));

        f.saved(QStringLiteral("CTRL.csv"), 5);
        QCOMPARE(names(),
                 QStringList({ "BUNMAS.csv",
                               "TENMAS.csv",
                               "SIRMAS.csv",
                               "TOKMAS.csv",
                               "SHOMAS.csv",
                               "JISYA.csv" }));

        f.saved(QStringLiteral("CTRL.csv"), 3);
        QCOMPARE(staged.last().at(0).toInt(), 3);
        QCOMPARE(staged.last().at(1).toStringList(),
                 QStringList({ f.folder.staged(3, QStringLiteral("BUNMAS.csv")),
                               f.folder.staged(3, QStringLiteral("SHOMAS.csv")) }));
        QCOMPARE(readFile(f.folder.staged(3, QStringLiteral("SHOMAS.csv"))),
                 QByteArray("3:SHOMAS"));
        QCOMPARE(readFile(f.folder.staged(5, QStringLiteral("SHOMAS.csv"))),
                 QByteArray("5:SHOMAS"));
        QCOMPARE(f.folder.stationFiles(), QStringList({ "CTRL.csv" }));

        // A terminal without a receive folder has nothing staged at all.
        f.saved(QStringLiteral("CTRL.csv"), 7);
        QCOMPARE(names(), QStringList());

        QVERIFY(QFile::remove(f.folder.rcv(3, QStringLiteral("SHOMAS.csv"))));
        f.saved(QStringLiteral("CTRL.csv"), 3);
        QCOMPARE(names(), QStringList({ "BUNMAS.csv" }));
        QVERIFY(!QFile::exists(f.folder.staged(3, QStringLiteral("SHOMAS.csv"))));

        // A staged export that cannot be withdrawn is no staging: the
        // terminal is not told its control file was taken.
        QSignalSpy refused(&f.events, &TransferEvents::filingFailed);
        QVERIFY(writeFile(f.folder.staged(3, QStringLiteral("JISYA.csv")), "stale"));
        makeReadOnly(f.folder.staged(3, QStringLiteral("JISYA.csv")));
        f.saved(QStringLiteral("CTRL.csv"), 3);
        QCOMPARE(refused.count(), 1);
    }

    // A link planted in a terminal's send or receive folder never makes the
    // station write or hand out the file it points to: a send copy's link is
    // replaced (even one to a read-only file) and logged, an export's is
    // refused by name and the terminal told to send its control file again.
    void plantedLinksAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("upload");
        QTest::addColumn<QString>("linked");
        QTest::addColumn<bool>("readOnlyTarget");
        QTest::newRow("send copy")
            << QStringLiteral("S_HACH.dat") << QStringLiteral("S_HACH.dat") << false;
        QTest::newRow("send copy, read-only target")
            << QStringLiteral("S_TANA.dat") << QStringLiteral("S_TANA.dat") << true;
        QTest::newRow("staged export")
            << QStringLiteral("CTRL.csv") << QStringLiteral("BUNMAS.csv") << false;
    }

    void plantedLinksAreNeverFollowed()
    {
        QFETCH(QString, upload);
        QFETCH(QString, linked);
        QFETCH(bool, readOnlyTarget);
        Folder f;
        const QString own = f.folder.settings.settingsFile();
        const QByteArray before = readFile(own);
        if (readOnlyTarget)
            makeReadOnly(own);
        const bool staging = upload == QLatin1String("CTRL.csv");
        const QString linkPath = staging ? f.folder.rcv(3, linked) : f.folder.snd(3, linked);
        QVERIFY(QFile::link(own, linkPath));
        QSignalSpy refused(&f.events, &TransferEvents::filingFailed);
        f.saved(upload, 3, "new");

        QCOMPARE(readFile(own), before);
        QCOMPARE(refused.count(), staging ? 1 : 0);
        QCOMPARE(QFileInfo(linkPath).isSymLink(), staging);
        const QString told = staging ? f.op.messages().join(u'\n')
                                     : QString::fromUtf8(readFile(f.log.currentFile()));
        QVERIFY2(told.contains(linkPath) && told.contains(QStringLiteral("シンボリックリンク")),
                 qPrintable(told));
        if (staging)
            QVERIFY(!QFile::exists(f.folder.staged(3, QStringLiteral("BUNMAS.csv"))));
        else
            QCOMPARE(readFile(linkPath), QByteArray("new"));
    }

    void theEventsTerminalNumberHoldsThroughAMessage()
    {
        // While the message of terminal 3's order file is open, terminal 5's
        // stocktaking file is reported and filed; then terminal 3's goes on.
        Folder f;
        bool nested = false;
        f.op.whileOpen = [&](const QString &text) {
            if (text == QLatin1String("S_HACH.dat") && !nested) {
                nested = true;
                f.saved(QStringLiteral("S_TANA.dat"), 5, "from 5");
            }
        };
        f.saved(QStringLiteral("S_HACH.dat"), 3, "from 3");
        QCOMPARE(readFile(f.folder.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("from 3"));
        QCOMPARE(readFile(f.folder.snd(5, QStringLiteral("S_TANA.dat"))), QByteArray("from 5"));
        QVERIFY(!QFile::exists(f.folder.snd(5, QStringLiteral("S_HACH.dat"))));
        QVERIFY(!QFile::exists(f.folder.snd(3, QStringLiteral("S_TANA.dat"))));
    }

    // The host may take its orders at any moment, even while a newer one is
    // being filed: the old copy gone from snd/ is no failure.
    void aSendCopyTakenAwayDuringFilingIsNoFailure()
    {
        Folder f;
        f.saved(QStringLiteral("S_HACH.dat"), 3, "first");
        const QString sendCopy = f.folder.snd(3, QStringLiteral("S_HACH.dat"));
        const QString taken = f.dir.filePath(QStringLiteral("taken.dat"));
        f.op.whileOpen = [&](const QString &text) {
            if (text.contains(sendCopy) && !QFile::exists(taken))
                QVERIFY(QFile::rename(sendCopy, taken));
        };
        f.saved(QStringLiteral("S_HACH.dat"), 3, "second");
        QCOMPARE(readFile(taken), QByteArray("first"));
        QCOMPARE(readFile(sendCopy), QByteArray("second"));
        QCOMPARE(f.op.messages().last(), QStringLiteral("chk-2"));
        QVERIFY(QDir(f.folder.unfiled()).isEmpty());
    }

    void failedTransferLeavesTheFileWhereItIs()
    {
        Folder f;
        QVERIFY(writeFile(f.folder.path(QStringLiteral("S_HACH.dat")), "old"));
        f.events.TransferStatus(Link::TransferKind::SaveFailed, QStringLiteral("S_HACH.dat"), 3);
        QCOMPARE(readFile(f.folder.path(QStringLiteral("S_HACH.dat"))), QByteArray("old"));
        QVERIFY(f.op.shown.isEmpty());
        QVERIFY(f.folder.backups(3).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFiling)
#include "tst_filing.moc"
