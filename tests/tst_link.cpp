#include "LinkStation.h"

#include "link/Crc32.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QStorageInfo>

#include <cerrno>
#include <cstring>
#include <limits>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace Link;

namespace {

// Files to send, made in a folder of their own.
class Outbox
{
public:
    QString file(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.path() + u'/' + name;
        writeFile(path, content);
        return path;
    }
    QString folder(const QString &name)
    {
        const QString path = m_dir.path() + u'/' + name;
        QDir().mkpath(path);
        return path;
    }

private:
    QTemporaryDir m_dir;
};

bool send(LinkStation &s,
          int terminal,
          const QStringList &paths,
          const QString &fetchInto = {},
          const QByteArray &key = {})
{
    LinkTerminal t(s.port(), terminal, key);
    for (const QString &path : paths)
        t.client->put(path);
    if (!fetchInto.isEmpty())
        t.client->fetch(fetchInto);
    t.start();
    return t.waitDone() && t.client->succeeded();
}

// A small memory file system over a folder for as long as it lives, where
// the system lets us mount one (as root).
class SmallFileSystem
{
public:
    SmallFileSystem(const QString &over, bool readOnly)
        : m_path(QFile::encodeName(over))
    {
        m_mounted
            = ::mount("tmpfs", m_path.constData(), "tmpfs", readOnly ? MS_RDONLY : 0, "size=48k")
            == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    QByteArray m_path;
    bool m_mounted = false;
};

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void filedTwiceKeepsTheNewerAndTwoBackups_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("secondsApart");
        QTest::newRow("order, different seconds") << QStringLiteral("S_HACH.dat") << 1;
        QTest::newRow("order, same second") << QStringLiteral("S_HACH.dat") << 0;
        QTest::newRow("stocktaking, different seconds") << QStringLiteral("S_TANA.dat") << 7;
        QTest::newRow("stocktaking, same second") << QStringLiteral("S_TANA.dat") << 0;
    }

    void filedTwiceKeepsTheNewerAndTwoBackups()
    {
        QFETCH(QString, name);
        QFETCH(int, secondsApart);
        LinkStation s;
        Outbox out;
        QVERIFY(send(s, 3, { out.file(name, "older") }));
        QCOMPARE(s.statusLines,
                 QStringList({ name + QStringLiteral("受信中 :3"),
                               name + QStringLiteral("保存中 :3"),
                               name + QStringLiteral("保存成功 :3") }));
        s.clock.current = s.clock.current.addSecs(secondsApart);
        QVERIFY(send(s, 3, { out.file(name, "newer") }));

        QCOMPARE(readFile(s.snd(3, name)), QByteArray("newer"));
        QCOMPARE(s.backups(3).size(), 2);
        QCOMPARE(s.stationFiles(), QStringList());
        QCOMPARE(s.op.messages().count(QStringLiteral("chk-2")), 2);
    }

    // A station nobody watches: what only informs goes to the status line
    // (and so the log) instead of a box; a filing that fails still raises one.
    void noticesLoggedLeaveBoxesToFailures()
    {
        LinkStation s([](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.notices = Comm::Settings::Notices::Log;
        });
        const QString name = QStringLiteral("S_HACH.dat");
        Outbox out;
        QVERIFY(send(s, 3, { out.file(name, "order") }));
        QVERIFY(s.op.shown.isEmpty());
        QCOMPARE(s.statusLines.size(), 7);
        QCOMPARE(s.statusLines.at(2), name);
        QVERIFY(s.statusLines.at(4).contains(QStringLiteral(" | ") + s.snd(3, name) + u' '));
        QCOMPARE(s.statusLines.mid(5), QStringList({ "chk-1", "chk-2" }));
        QVERIFY(s.logText().contains(QStringLiteral("chk-2")));

        QVERIFY(QFile::setPermissions(s.snd(3, name), QFile::ReadOwner));
        QVERIFY(!send(s, 3, { out.file(name, "again") }));
        QCOMPARE(s.op.shown.size(), 1);
        QVERIFY(s.op.messages().first().startsWith(QStringLiteral("ファイルを置き換えられません")));
    }

    // "Saved" means kept: a name the station does not file is kept aside,
    // time-stamped, in the terminal's folder for such files.
    void otherNamesAreKeptAside_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("control, lower case") << QStringLiteral("ctrl.csv");
        QTest::newRow("order, lower case") << QStringLiteral("s_hach.dat");
        QTest::newRow("order, upper case") << QStringLiteral("S_HACH.DAT");
        QTest::newRow("order, another name") << QStringLiteral("HACHU.dat");
        QTest::newRow("any other") << QStringLiteral("memo.txt");
    }

    void otherNamesAreKeptAside()
    {
        QFETCH(QString, name);
        LinkStation s;
        Outbox out;
        QVERIFY(send(s, 3, { out.file(name, "kept") }));
        QCOMPARE(s.statusLines.at(s.statusLines.size() - 2), name + QStringLiteral("保存成功 :3"));
        QCOMPARE(s.stationFiles(), QStringList());
        QVERIFY(entries(s.snd(3)).isEmpty());
        QVERIFY(s.backups(3).isEmpty());
        const QStringList kept = entries(s.kept(3));
        QCOMPARE(kept.size(), 1);
        QVERIFY(kept.first().endsWith(u'_' + name));
        QCOMPARE(readFile(s.kept(3) + u'/' + kept.first()), QByteArray("kept"));
        QVERIFY(s.statusLines.last().contains(kept.first()));
    }

    void controlFileStagesTheMastersAndFetchGetsThem()
    {
        LinkStation s;
        Outbox out;
        QVERIFY(writeFile(s.rcv(3, QStringLiteral("BUNMAS.csv")), "3:BUNMAS"));
        QVERIFY(writeFile(s.rcv(3, QStringLiteral("SHOMAS.csv")), "3:SHOMAS"));

        const QString into = out.folder(QStringLiteral("fetched"));
        QVERIFY(send(s, 3, { out.file(QStringLiteral("CTRL.csv"), "ctrl") }, into));
        QCOMPARE(entries(into), QStringList({ "BUNMAS.csv", "SHOMAS.csv" }));
        QCOMPARE(readFile(into + QStringLiteral("/SHOMAS.csv")), QByteArray("3:SHOMAS"));
        QVERIFY(s.statusLines.contains(QStringLiteral("BUNMAS.csv送信中 :3")));
        QVERIFY(s.statusLines.contains(QStringLiteral("SHOMAS.csv送信中 :3")));
        QCOMPARE(s.stationFiles(), QStringList({ "CTRL.csv" }));

        // Fetching again in a session of its own still gets them.
        const QString again = out.folder(QStringLiteral("again"));
        QVERIFY(send(s, 3, {}, again));
        QCOMPARE(entries(again), QStringList({ "BUNMAS.csv", "SHOMAS.csv" }));

        // Staged but gone before the fetch: an error, never fewer files.
        QVERIFY(QFile::remove(s.staged(3, QStringLiteral("SHOMAS.csv"))));
        LinkTerminal t(s.port(), 3);
        t.client->fetch(out.folder(QStringLiteral("short")));
        t.start();
        QVERIFY(t.waitDone());
        QVERIFY2(t.client->errorString().contains(QStringLiteral("error 12")),
                 qPrintable(t.client->errorString()));
    }

    // What is staged for a terminal is its own: another terminal's upload of
    // a staged name, or its control file, leaves the first one's fetch whole.
    void twoTerminalsEachGetTheirOwnMasters()
    {
        LinkStation s;
        Outbox out;
        QVERIFY(writeFile(s.rcv(3, QStringLiteral("BUNMAS.csv")), "3:BUNMAS"));
        for (const char *m : { "BUNMAS", "TOKMAS", "JISYA" })
            QVERIFY(writeFile(s.rcv(5, m + QStringLiteral(".csv")), QByteArray("5:") + m));
        const QString ctrl = out.file(QStringLiteral("CTRL.csv"), "ctrl");

        const QString for3 = out.folder(QStringLiteral("t3"));
        QVERIFY(send(s, 3, { ctrl }, for3));
        const QString for5 = out.folder(QStringLiteral("t5"));
        QVERIFY(send(s, 5, { ctrl, out.file(QStringLiteral("BUNMAS.csv"), "5's upload") }, for5));
        QCOMPARE(entries(for3), QStringList({ "BUNMAS.csv" }));
        QCOMPARE(readFile(for3 + QStringLiteral("/BUNMAS.csv")), QByteArray("3:BUNMAS"));
        QCOMPARE(entries(for5), QStringList({ "BUNMAS.csv", "JISYA.csv", "TOKMAS.csv" }));
        QCOMPARE(readFile(for5 + QStringLiteral("/BUNMAS.csv")), QByteArray("5:BUNMAS"));

        const QString late = out.folder(QStringLiteral("late"));
        QVERIFY(send(s, 3, {}, late));
        QCOMPARE(entries(late), QStringList({ "BUNMAS.csv" }));
        QCOMPARE(readFile(late + QStringLiteral("/BUNMAS.csv")), QByteArray("3:BUNMAS"));
    }

    void oneTerminalAtATimeWhileAMessageIsOpen()
    {
        // Terminal 3 sends two files at once, without waiting for "saved";
        // while the message of the first is open (a modal box runs its own
        // event loop), terminal 5 connects and sends too.
        LinkStation s;
        Outbox out;
        const QString tana5 = out.file(QStringLiteral("S_TANA.dat"), "from 5");
        std::unique_ptr<LinkTerminal> second;
        int numberDuringMessage = -1;
        bool advancedDuringMessage = true;
        s.op.whileOpen = [&](const QString &text) {
            if (text != QLatin1String("S_HACH.dat") || second)
                return;
            second = std::make_unique<LinkTerminal>(s.port(), 5);
            second->client->put(tana5);
            second->start();
            QVERIFY(QTest::qWaitFor([&] { return s.server->waitingCount() == 1; }, 5000));
            // Neither terminal 3's second file nor terminal 5's may start now.
            const qsizetype lines = s.statusLines.size();
            advancedDuringMessage
                = QTest::qWaitFor([&] { return s.statusLines.size() != lines; }, 200);
            numberDuringMessage = s.server->TerminalNumber();
        };
        RawTerminal first(s.port());
        QVERIFY(first.hello(3));
        for (const char *name : { "S_HACH.dat", "S_TANA.dat" }) {
            const QByteArray content = QByteArray("from 3: ") + name;
            first.send(Put,
                       encodeFileHeader({ quint64(content.size()), QString::fromLatin1(name) }));
            first.send(Data, content);
            first.send(End, encodeU32(Crc32::of(content)));
        }
        first.send(Bye);
        QVERIFY(first.waitFor(Bye));
        QCOMPARE(numberDuringMessage, 3);
        QVERIFY(!advancedDuringMessage);
        QVERIFY(second->waitDone());
        QVERIFY(second->client->succeeded());
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))),
                 QByteArray("from 3: S_HACH.dat"));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_TANA.dat"))),
                 QByteArray("from 3: S_TANA.dat"));
        QCOMPARE(readFile(s.snd(5, QStringLiteral("S_TANA.dat"))), QByteArray("from 5"));
        QCOMPARE(s.statusLines.last(), QStringLiteral("S_TANA.dat保存成功 :5"));
    }

    void hostileInputIsRefused_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("failedTransfer");
        const auto row = [](const char *name, ErrorCode code, bool kind4) {
            QTest::newRow(name) << QString::fromLatin1(name) << int(code) << kind4;
        };
        row("traversal", ErrorCode::BadName, false);
        row("absolute", ErrorCode::BadName, false);
        row("backslash", ErrorCode::BadName, false);
        row("control char", ErrorCode::BadName, false);
        row("long name", ErrorCode::BadName, false);
        row("settings file", ErrorCode::BadName, false);
        row("database journal", ErrorCode::BadName, false);
        row("database wal", ErrorCode::BadName, false);
        row("oversize", ErrorCode::TooLarge, false);
        row("oversize, data following", ErrorCode::TooLarge, false);
        row("excess data", ErrorCode::BadLength, true);
        row("early end", ErrorCode::BadLength, true);
        row("corrupt frame", ErrorCode::BadFrame, true);
        row("bad checksum", ErrorCode::BadChecksum, true);
        row("no hello", ErrorCode::Unexpected, false);
        row("terminal 0", ErrorCode::BadTerminal, false);
        row("terminal 10000", ErrorCode::BadTerminal, false);
        row("terminal 12", ErrorCode::BadTerminal, false);
        row("byte-order mark", ErrorCode::BadName, false);
        row("trickled hello", ErrorCode::Timeout, false);
        row("trickled auth", ErrorCode::Timeout, false);
        row("version 2", ErrorCode::BadVersion, false);
        row("not the protocol", ErrorCode::BadFrame, false);
        row("stall", ErrorCode::Timeout, true);
    }

    void hostileInputIsRefused()
    {
        QFETCH(QString, scenario);
        QFETCH(int, code);
        QFETCH(bool, failedTransfer);
        LinkStation s([&](Comm::Settings &settings, StationCore::LinkOptions &link) {
            settings.maxFile = 1000;
            if (scenario == QLatin1String("trickled auth"))
                settings.linkKey = "sesame";
            link.stepDeadlineMs = 300;
        });
        // A byte at a time, each well within the deadline, until the station
        // gives up or the frame is whole.
        const auto trickle = [](RawTerminal &t, const QByteArray &frame) {
            for (const char byte : frame) {
                if (t.has(Error))
                    return;
                t.socket.write(&byte, 1);
                QTest::qWait(100);
            }
        };
        const QString outside
            = QFileInfo(s.dir.path()).absolutePath() + QStringLiteral("/evil.dat");
        QFile::remove(outside);
        const QByteArray content("1234");
        const auto put = [&](const QString &name, quint64 size) {
            return encodeFileHeader({ size, name });
        };

        RawTerminal t(s.port());
        if (scenario == QLatin1String("no hello")) {
            t.send(Put, put(QStringLiteral("S_HACH.dat"), 4));
        } else if (scenario == QLatin1String("terminal 0")) {
            t.send(Hello, encodeHello({ Version, 0 }));
        } else if (scenario == QLatin1String("terminal 10000")) {
            t.send(Hello, encodeHello({ Version, 10000 }));
        } else if (scenario == QLatin1String("terminal 12")) {
            t.send(Hello, encodeHello({ Version, 12 }));
        } else if (scenario == QLatin1String("trickled hello")) {
            trickle(t, encodeFrame(Hello, encodeHello({ Version, 3 })));
        } else if (scenario == QLatin1String("trickled auth")) {
            t.send(Hello, encodeHello({ Version, 3 }));
            QVERIFY(t.waitFor(Challenge));
            const QByteArray nonce = t.frames.first().payload;
            trickle(t, encodeFrame(Auth, authAnswer("sesame", nonce, 3)));
        } else if (scenario == QLatin1String("version 2")) {
            t.send(Hello, encodeHello({ 2, 3 }));
        } else if (scenario == QLatin1String("not the protocol")) {
            t.socket.write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        } else {
            QVERIFY(t.hello(3));
            const QMap<QString, QString> names {
                { QStringLiteral("traversal"), QStringLiteral("../evil.dat") },
                { QStringLiteral("absolute"), outside },
                { QStringLiteral("backslash"), QStringLiteral("..\\evil.dat") },
                { QStringLiteral("control char"), QStringLiteral("S_HACH\n.dat") },
                { QStringLiteral("long name"), QString(65, u'a') },
                { QStringLiteral("settings file"), QStringLiteral("Tarvinex.ini") },
                { QStringLiteral("database journal"), QStringLiteral("tarvinex.db-journal") },
                { QStringLiteral("database wal"), QStringLiteral("tarvinex.db-wal") },
                { QStringLiteral("byte-order mark"), QStringLiteral("\uFEFFS_HACH.dat") },
            };
            if (names.contains(scenario)) {
                t.send(Put, put(names.value(scenario), 4));
                t.send(Data, content);
                t.send(End, encodeU32(Crc32::of(content)));
            } else if (scenario.startsWith(QLatin1String("oversize"))) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 1001));
                // A terminal that does not wait for an answer before its data
                // still hears why it was refused.
                if (scenario.endsWith(QLatin1String("following"))) {
                    for (int i = 0; i < 64; ++i)
                        t.send(Data, QByteArray(16, 'x'));
                }
            } else if (scenario == QLatin1String("excess data")) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 4));
                t.send(Data, content + "5");
            } else if (scenario == QLatin1String("early end")) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 8));
                t.send(Data, content);
                t.send(End, encodeU32(Crc32::of(content)));
            } else if (scenario == QLatin1String("corrupt frame")) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 4));
                QByteArray frame = encodeFrame(Data, content);
                frame[HeaderSize] = 'X';
                t.socket.write(frame);
            } else if (scenario == QLatin1String("bad checksum")) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 4));
                t.send(Data, content);
                t.send(End, encodeU32(Crc32::of(content) ^ 1));
            } else if (scenario == QLatin1String("stall")) {
                t.send(Put, put(QStringLiteral("S_HACH.dat"), 4));
                t.send(Data, content.left(2));
            }
        }
        QVERIFY(t.waitFor(Error));
        QCOMPARE(t.errorCode(), code);
        QTRY_VERIFY_WITH_TIMEOUT(t.closed, 5000);
        // A whole-frame deadline: bytes that trickle in do not extend it.
        if (scenario.startsWith(QLatin1String("trickled")))
            QVERIFY(!t.has(Welcome));

        // Refused, logged, nothing left behind, nothing written outside.
        QVERIFY(s.logText().contains(QStringLiteral("通信エラー %1").arg(code)));
        // Named as its HELLO named itself, or not yet known; always with its address.
        const QStringList unnamed { QStringLiteral("no hello"),
                                    QStringLiteral("terminal 0"),
                                    QStringLiteral("trickled hello"),
                                    QStringLiteral("not the protocol") };
        const QString who = scenario.startsWith(QLatin1String("terminal 1")) ? scenario.mid(9)
            : unnamed.contains(scenario)                                     ? QStringLiteral("?")
                                                                             : QStringLiteral("3");
        QVERIFY2(s.logText().contains(QStringLiteral("端末 %1 (127.0.0.1:").arg(who)),
                 qPrintable(s.logText()));
        QCOMPARE(s.stationFiles(), QStringList());
        QVERIFY(!QFile::exists(outside));
        QVERIFY(s.op.shown.isEmpty());
        QCOMPARE(s.statusLines.contains(QStringLiteral("S_HACH.dat保存失敗 :3")), failedTransfer);

        // The next terminal is served as usual.
        Outbox out;
        const QByteArray key = s.core->settings().linkKey;
        QVERIFY(send(s, 4, { out.file(QStringLiteral("S_HACH.dat"), "fine") }, {}, key));
        QCOMPARE(readFile(s.snd(4, QStringLiteral("S_HACH.dat"))), QByteArray("fine"));
    }

    void aConnectionDroppedMidFileLeavesNothing()
    {
        LinkStation s;
        RawTerminal t(s.port());
        QVERIFY(t.hello(3));
        t.send(Put, encodeFileHeader({ 100000, QStringLiteral("S_HACH.dat") }));
        t.send(Data, QByteArray(50000, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(s.statusLines.contains(QStringLiteral("S_HACH.dat受信中 :3")),
                                 5000);
        QTRY_COMPARE_WITH_TIMEOUT(s.stationFiles().size(), 1, 5000); // the partial file
        QVERIFY(s.stationFiles().first().startsWith(QStringLiteral(".incoming-")));
        t.socket.abort();
        QTRY_COMPARE_WITH_TIMEOUT(
            s.statusLines.last(), QStringLiteral("S_HACH.dat保存失敗 :3"), 5000);
        QCOMPARE(s.stationFiles(), QStringList());
        // Lost, and no error of the protocol: nothing could be sent.
        QVERIFY(s.logText().contains(QStringLiteral("通信途絶: connection lost")));
        QVERIFY(!s.logText().contains(QStringLiteral("通信エラー")));

        Outbox out;
        QVERIFY(send(s, 3, { out.file(QStringLiteral("S_HACH.dat"), "whole") }));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("whole"));
    }

    void theLinkKeyIsChecked()
    {
        LinkStation s([](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.linkKey = "sesame";
        });
        Outbox out;
        const QString file = out.file(QStringLiteral("S_HACH.dat"), "keyed");

        LinkTerminal wrong(s.port(), 3, "open up", LinkTerminal::Over::Plain);
        wrong.client->put(file);
        wrong.start();
        QVERIFY(wrong.waitDone());
        QVERIFY(!wrong.client->succeeded());
        QVERIFY(wrong.client->errorString().contains(QStringLiteral("error 5")));
        QVERIFY(s.logText().contains(QStringLiteral("通信エラー 5")));

        LinkTerminal none(s.port(), 3);
        none.client->put(file);
        none.start();
        QVERIFY(none.waitDone());
        QVERIFY(!none.client->succeeded());

        // Nothing but the answer is taken before it.
        RawTerminal raw(s.port());
        raw.send(Hello, encodeHello({ Version, 3 }));
        QVERIFY(raw.waitFor(Challenge));
        raw.send(Put, encodeFileHeader({ 1, QStringLiteral("S_HACH.dat") }));
        QVERIFY(raw.waitFor(Error));
        QCOMPARE(raw.errorCode(), int(ErrorCode::Unexpected));
        QCOMPARE(s.stationFiles(), QStringList());

        LinkTerminal right(s.port(), 3, "sesame", LinkTerminal::Over::Plain);
        right.client->put(file);
        right.start();
        QVERIFY(right.waitDone());
        QVERIFY2(right.client->succeeded(), qPrintable(right.client->errorString()));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray("keyed"));
    }

    void waitingIsBounded()
    {
        LinkStation s([](Comm::Settings &, StationCore::LinkOptions &link) {
            link.maxWaiting = 1;
            link.turnWaitMs = 300;
        });
        RawTerminal first(s.port());
        QVERIFY(first.hello(3)); // and then holds the turn
        // A connection's first bytes say which protocol it speaks; a place
        // is given once they have come.
        RawTerminal second(s.port());
        second.send(Hello, encodeHello({ Version, 4 }));
        QVERIFY(second.waitFor(Wait));
        RawTerminal third(s.port());
        third.send(Hello, encodeHello({ Version, 5 }));
        const QList<quint16> ports { second.socket.localPort(), third.socket.localPort() };
        QVERIFY(third.waitFor(Error));
        QCOMPARE(third.errorCode(), int(ErrorCode::Busy));
        QVERIFY(second.waitFor(Error));
        QCOMPARE(second.errorCode(), int(ErrorCode::Busy));
        QVERIFY(!first.has(Error));
        // Turned away before their HELLO was read: not yet known, told apart
        // by address and port.
        for (const quint16 port : ports)
            QVERIFY2(
                s.logText().contains(QStringLiteral("端末 ? (127.0.0.1:%1) 通信エラー").arg(port)),
                qPrintable(s.logText()));
    }

    void aFileThatCannotBeFiledIsNotConfirmed()
    {
        LinkStation s;
        QVERIFY(QDir(s.snd(3)).removeRecursively());
        Outbox out;
        LinkTerminal t(s.port(), 3);
        t.client->put(out.file(QStringLiteral("S_HACH.dat"), "order 1"));
        t.start();
        QVERIFY(t.waitDone());
        QVERIFY(!t.client->succeeded());
        QVERIFY2(t.client->errorString().contains(QStringLiteral("error 12")),
                 qPrintable(t.client->errorString()));

        // Kept under a name no upload takes: terminal 4's file of the same
        // name, filed, does not replace it.
        const QString kept = s.folder.unfiled(QStringLiteral("20261208093005_0003_S_HACH.dat"));
        QCOMPARE(readFile(kept), QByteArray("order 1"));
        QVERIFY(s.logText().contains(kept));
        QVERIFY(send(s, 4, { out.file(QStringLiteral("S_HACH.dat"), "order 2") }));
        QCOMPARE(readFile(kept), QByteArray("order 1"));
        QCOMPARE(s.stationFiles(), QStringList());

        // What the host reads is made as the umask allows, not 0600.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        for (const QString &filed : { s.snd(4, QStringLiteral("S_HACH.dat")),
                                      s.folder.backup(4, s.backups(4).value(0)) }) {
            struct stat info = {};
            QCOMPARE(::stat(QFile::encodeName(filed).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, 0666 & ~mask);
        }
    }

    void aFileThatCannotBeWrittenIsRefusedWithTheSystemsReason_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("cause");
        // The file is larger than the file system: a write is cut short.
        QTest::newRow("disk full") << false << ENOSPC;
        QTest::newRow("read-only") << true << EROFS;
    }

    void aFileThatCannotBeWrittenIsRefusedWithTheSystemsReason()
    {
        QFETCH(bool, readOnly);
        QFETCH(int, cause);
        // The 48 KiB disk is below any useful floor: here the write must fail.
        LinkStation s(
            [](Comm::Settings &settings, StationCore::LinkOptions &) { settings.minFree = 0; });
        SmallFileSystem transfer(s.folder.layout().transferFolder(), readOnly);
        if (!transfer.mounted())
            QSKIP("no file system can be mounted here");
        Outbox out;
        LinkTerminal t(s.port(), 3);
        t.client->put(out.file(QStringLiteral("S_HACH.dat"), QByteArray(100000, 'h')));
        t.start();
        QVERIFY(t.waitDone());

        // The terminal keeps its file, and it and the operator are told why.
        const QString reason = QString::fromLocal8Bit(std::strerror(cause));
        QVERIFY(t.client->savedFiles().isEmpty());
        QVERIFY2(t.client->errorString().contains(QStringLiteral("error 12"))
                     && t.client->errorString().endsWith(reason),
                 qPrintable(t.client->errorString()));
        QVERIFY2(s.logText().contains(QStringLiteral("通信エラー 12 (station failure): "))
                     && s.logText().contains(reason),
                 qPrintable(s.logText()));
        QCOMPARE(s.stationFiles(), QStringList());
    }

    void anUploadBelowTheFreeSpaceFloorIsRefusedBeforeItsData_data()
    {
        QTest::addColumn<bool>("floorAboveFree");
        QTest::newRow("floor above the free space") << true;
        // Half the free space as floor: only a file as large as the free
        // space is refused, for what it would leave.
        QTest::newRow("a file that would take it below") << false;
    }

    void anUploadBelowTheFreeSpaceFloorIsRefusedBeforeItsData()
    {
        QFETCH(bool, floorAboveFree);
        const qint64 free = QStorageInfo(QDir::tempPath()).bytesAvailable();
        LinkStation s([&](Comm::Settings &settings, StationCore::LinkOptions &) {
            settings.minFree = floorAboveFree ? free + (qint64(1) << 40) : free / 2;
            settings.maxFile = std::numeric_limits<qint64>::max();
        });
        RawTerminal raw(s.port());
        QVERIFY(raw.hello(3));
        raw.send(Put, encodeFileHeader({ quint64(free), QStringLiteral("S_HACH.dat") }));
        QVERIFY(raw.waitFor(Error));
        QCOMPARE(raw.errorCode(), int(ErrorCode::StationFailure));
        const QString reason = decodeError(raw.frames.last().payload)->reason;
        QVERIFY2(reason.contains(QStringLiteral("too little free space on ")), qPrintable(reason));

        // A small order: refused below the floor, the terminal told so.
        Outbox out;
        LinkTerminal t(s.port(), 3);
        t.client->put(out.file(QStringLiteral("S_HACH.dat"), "order 1"));
        t.start();
        QVERIFY(t.waitDone());
        QCOMPARE(t.client->succeeded(), !floorAboveFree);
        if (floorAboveFree)
            QVERIFY2(t.client->errorString().contains(QStringLiteral("error 12")),
                     qPrintable(t.client->errorString()));
        QCOMPARE(s.stationFiles(), QStringList());
    }

    void aPeerThatAsksWithoutReadingIsDropped()
    {
        LinkStation s(
            [](Comm::Settings &, StationCore::LinkOptions &link) { link.stepDeadlineMs = 500; });
        RawTerminal greedy(s.port());
        QVERIFY(greedy.hello(3));
        // From now on the terminal takes nothing of the answers, and keeps asking.
        greedy.socket.setReadBufferSize(1);
        QByteArray asks;
        for (int i = 0; i < 4096; ++i)
            asks += encodeFrame(Fetch);
        QTimer asking;
        QObject::connect(&asking, &QTimer::timeout, [&] {
            if (greedy.socket.bytesToWrite() < 4 * asks.size())
                greedy.socket.write(asks);
        });
        asking.start(1);
        // It is dropped at its fifth FETCH (or, held back by what it does
        // not take, by the deadline), and the next terminal is served.
        QTRY_VERIFY_WITH_TIMEOUT(s.logText().contains(QStringLiteral("more than 4 FETCH"))
                                     || s.logText().contains(QStringLiteral("通信エラー 10")),
                                 30000);
        asking.stop();
        Outbox out;
        QVERIFY(send(s, 4, { out.file(QStringLiteral("S_HACH.dat"), "next") }));
    }

    // A peer that never hangs up after its last answer is waited for, the
    // station reading and dropping what it still sends, only up to a limit;
    // beyond it the station closes at once, and what comes then is reset.
    void peersThatNeverHangUpAreWaitedForUpToALimit()
    {
        LinkStation s;
        // System sockets: a Qt socket would close its own end on the
        // station's, and these must not.
        std::vector<int> peers;
        const auto closePeers = qScopeGuard([&] {
            for (const int fd : peers)
                ::close(fd);
        });
        sockaddr_in station {};
        station.sin_family = AF_INET;
        station.sin_port = htons(s.port());
        station.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const auto ended = [](int fd) {
            char bytes[256];
            ssize_t got;
            while ((got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) { }
            return got == 0;
        };
        const int lingering = 32;
        for (int i = 0; i < lingering + 8; ++i) {
            peers.push_back(::socket(AF_INET, SOCK_STREAM, 0));
            QCOMPARE(
                ::connect(peers.back(), reinterpret_cast<sockaddr *>(&station), sizeof station), 0);
            QCOMPARE(::send(peers.back(), "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL), 18);
            QVERIFY(QTest::qWaitFor([&] { return ended(peers.back()); }, 5000));
        }
        for (const int fd : peers)
            ::send(fd, "x", 1, MSG_NOSIGNAL);
        QTest::qWait(200);
        // A connection the station closed holds the reset as its pending error.
        int reset = 0;
        for (const int fd : peers) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            reset += error != 0;
        }
        QCOMPARE(reset, 8);
    }

    void stoppingListeningEndsTransfersCleanly()
    {
        LinkStation s;
        RawTerminal t(s.port());
        QVERIFY(t.hello(3));
        t.send(Put, encodeFileHeader({ 100, QStringLiteral("S_TANA.dat") }));
        t.send(Data, QByteArray(10, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(s.stationFiles().size(), 1, 5000);
        s.station->Command1Click();
        QVERIFY(!s.server->Listening());
        QVERIFY(t.waitFor(Error));
        QCOMPARE(t.errorCode(), int(ErrorCode::Stopping));
        QCOMPARE(s.stationFiles(), QStringList());
        QVERIFY(s.statusLines.contains(QStringLiteral("S_TANA.dat保存失敗 :3")));
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
