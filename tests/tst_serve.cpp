#include "Files.h"
#include "ServeProcess.h"
#include "link/LinkFrame.h"
#include "link/LinkKey.h"
#include "link/LinkProtocol.h"
#include "tls/TerminalConnection.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The windowless station as an operator runs it: a process that serves
// terminals, prints what the window would show and stops on a signal.
class TestServe : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station;
    QByteArray m_key;

    // The terminal tool, as terminal, with the station's key file; its
    // standard output goes to output when given.
    int terminalTool(quint16 port,
                     int terminal,
                     const QStringList &command,
                     QByteArray *output = nullptr)
    {
        QProcess tool;
        tool.start(QStringLiteral(TERMINAL_EXE),
                   QStringList { QStringLiteral("--port"),
                                 QString::number(port),
                                 QStringLiteral("--terminal"),
                                 QString::number(terminal),
                                 QStringLiteral("--key-file"),
                                 m_station + QStringLiteral("/link.key") }
                       + command);
        if (!tool.waitForFinished(10000))
            return -1;
        if (output)
            *output = tool.readAllStandardOutput();
        return tool.exitCode();
    }

    // A terminal with the station's key, inside TLS, that has said hello
    // and sends the rest by hand.
    std::unique_ptr<Tls::TerminalConnection> hello(quint16 port, int terminal)
    {
        auto connection = std::make_unique<Tls::TerminalConnection>(terminal, m_key);
        bool ready = false;
        QObject::connect(
            connection.get(), &Tls::TerminalConnection::ready, [&ready] { ready = true; });
        connection->open(QStringLiteral("127.0.0.1"), port);
        if (!QTest::qWaitFor([&] { return ready; }, 5000))
            return nullptr;
        connection->socket()->write(Link::encodeFrame(
            Link::Hello, Link::encodeHello({ Link::TunnelVersion, quint16(terminal) })));
        return connection;
    }

    // The code of the error the station sent before it closed, or 0.
    static int lastError(QTcpSocket &terminal)
    {
        QByteArray bytes;
        while (terminal.waitForReadyRead(5000))
            bytes += terminal.readAll();
        Link::FrameDecoder decoder;
        decoder.feed(bytes + terminal.readAll());
        Link::Frame frame;
        QString error;
        int code = 0;
        while (decoder.next(&frame, &error) == Link::FrameDecoder::Result::Frame) {
            if (frame.type == Link::Error)
                code = int(Link::decodeError(frame.payload)->code);
        }
        return code;
    }

    QStringList leftovers() const
    {
        return QDir(m_station + QStringLiteral("/transfer"))
            .entryList({ QStringLiteral(".incoming-*"), QStringLiteral("S_*") },
                       QDir::Files | QDir::Hidden);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_station = m_dir.filePath(QStringLiteral("station"));
        QCOMPARE(
            QProcess::execute(QStringLiteral(TARVINEX_EXE), { QStringLiteral("init"), m_station }),
            0);
        m_key = readFile(m_station + QStringLiteral("/link.key")).trimmed();
    }

    void printsWhatTheWindowShowsAndStopsCleanly()
    {
        QProcess serve;
        QByteArray output;
        const quint16 port = startServe(serve, m_station, &output);
        QVERIFY2(port != 0, output.constData());
        const qint64 pid = serve.processId();

        const QString order = m_dir.filePath(QStringLiteral("S_HACH.dat"));
        QVERIFY(writeFile(order, "order"));
        QCOMPARE(terminalTool(port, 3, { QStringLiteral("send"), order }), 0);
        QVERIFY(QFile::exists(m_station + QStringLiteral("/data/0003/snd/S_HACH.dat")));
        // Nothing staged for terminal 5: its fetch says so instead of nothing.
        QByteArray fetched;
        QCOMPARE(
            terminalTool(port,
                         5,
                         { QStringLiteral("fetch"), m_dir.filePath(QStringLiteral("fetched")) },
                         &fetched),
            0);
        QCOMPARE(fetched, QByteArray("nothing staged: 0 files fetched\n"));
        // A file the station keeps aside: a success once told only to the log.
        const QString memo = m_dir.filePath(QStringLiteral("MEMO.dat"));
        QVERIFY(writeFile(memo, "memo"));
        QCOMPARE(terminalTool(port, 3, { QStringLiteral("send"), memo }), 0);

        // A transfer left half done when the signal comes.
        const auto connection = hello(port, 7);
        QVERIFY(connection);
        QTcpSocket &terminal = *connection->socket();
        terminal.write(Link::encodeFrame(
            Link::Put, Link::encodeFileHeader({ 1000, QStringLiteral("S_TANA.dat") })));
        terminal.write(Link::encodeFrame(Link::Data, QByteArray(100, 'x')));
        QVERIFY(terminal.waitForBytesWritten(5000));
        QTRY_COMPARE_WITH_TIMEOUT(leftovers().size(), 1, 5000);
        // And a terminal waiting for its turn.
        const auto waitingConnection = hello(port, 4);
        QVERIFY(waitingConnection);
        QTcpSocket &waiting = *waitingConnection->socket();
        // Its first WAIT comes as soon as the handshake is done.
        QVERIFY(waiting.bytesAvailable() > 0 || waiting.waitForReadyRead(5000));

        serve.terminate(); // SIGTERM
        QVERIFY(serve.waitForFinished(10000));
        QCOMPARE(serve.exitStatus(), QProcess::NormalExit);
        QCOMPARE(serve.exitCode(), 0);
        QCOMPARE(leftovers(), QStringList());
        // Both are told the station is stopping.
        QCOMPARE(lastError(terminal), int(Link::ErrorCode::Stopping));
        QCOMPARE(lastError(waiting), int(Link::ErrorCode::Stopping));

        output += serve.readAllStandardOutput();
        const QStringList lines = QString::fromUtf8(output).split(u'\n');
        const QString sendCopy = m_station + QStringLiteral("/data/0003/snd/S_HACH.dat");
        const qsizetype from = lines.indexOf(QStringLiteral("S_HACH.dat受信中 :3"));
        QVERIFY2(from >= 0, output.constData());
        QCOMPARE(lines.mid(from, 4),
                 QStringList({ QStringLiteral("S_HACH.dat受信中 :3"),
                               QStringLiteral("S_HACH.dat保存中 :3"),
                               QStringLiteral("S_HACH.dat"),
                               QStringLiteral("S_HACH.dat保存成功 :3") }));
        QVERIFY(lines.at(from + 4).startsWith(m_station + QStringLiteral("/transfer/S_HACH.dat | ")
                                              + sendCopy + QStringLiteral(" | ")));
        QCOMPARE(lines.mid(from + 5, 2),
                 QStringList({ QStringLiteral("chk-1"), QStringLiteral("chk-2") }));
        QVERIFY(lines.contains(QStringLiteral("S_TANA.dat保存失敗 :7")));
        // Every line of the log is printed: the work done and the stop too.
        QVERIFY2(lines.indexOf(QRegularExpression(
                     QStringLiteral("^端末 3 から受信した MEMO.dat を .* に保管しました$")))
                     >= 0,
                 output.constData());
        QVERIFY2(lines.contains(QStringLiteral("待ち受け終了")), output.constData());
        // It says where it works; with no UNIT set, it says nothing of USB
        // units; the link's own events are printed too, not only logged.
        QCOMPARE(lines.first(),
                 QStringLiteral("station folder: %1 (--station-dir)").arg(m_station));
        QVERIFY2(!output.contains("USB"), output.constData());
        QVERIFY2(lines.indexOf(QRegularExpression(QStringLiteral("^端末 3 \\(.*\\) 接続$"))) >= 0,
                 output.constData());
        // And how terminals reach it: a new station takes them inside TLS only.
        QVERIFY2(output.contains("TLS"), output.constData());
        QVERIFY2(!output.contains("移行中"), output.constData());

        // The same texts are in the station log.
        const QStringList logs = QDir(m_station + QStringLiteral("/log")).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        QFile log(m_station + QStringLiteral("/log/") + logs.first());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString logText = QString::fromUtf8(log.readAll());
        QVERIFY(logText.contains(QStringLiteral("S_HACH.dat保存成功 :3")));
        QVERIFY(logText.contains(QStringLiteral("] chk-2")));
        QVERIFY(logText.contains(QStringLiteral("[serve %1] ").arg(pid)));
    }

    // A database server down at boot must not keep the service down: serve
    // listens, and says on its error output and in the log what it could
    // not reach, naming the setting.
    void startsWhileItsDatabaseServerIsDown()
    {
        const QString station = m_dir.filePath(QStringLiteral("serverdown"));
        QCOMPARE(
            QProcess::execute(QStringLiteral(TARVINEX_EXE), { QStringLiteral("init"), station }),
            0);
        const QString settings = station + QStringLiteral("/Tarvinex.ini");
        const QString down
            = QStringLiteral("DBname=postgresql://tarvinex@127.0.0.1:%1/shop").arg(freePort());
        QVERIFY(writeFile(settings,
                          QString::fromUtf8(readFile(settings))
                              .replace(QRegularExpression(QStringLiteral("DBname=[^\r\n]*")), down)
                              .toUtf8()));
        QProcess serve;
        QByteArray output;
        QVERIFY2(startServe(serve, station, &output) != 0, output.constData());
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
        const QString error = QString::fromUtf8(serve.readAllStandardError());
        QVERIFY2(error.contains(
                     QStringLiteral("の DBname: データベース postgresql://tarvinex@127.0.0.1:")),
                 qPrintable(error));
        QVERIFY2(error.contains(QStringLiteral("に接続できません")), qPrintable(error));
    }

    // A second station left at the first one's port: exit 1, since the port
    // may come free, and the message names what to change.
    void aPortInUseNamesTheSettingToChange()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        QProcess serve;
        serve.start(QStringLiteral(TARVINEX_EXE),
                    { QStringLiteral("serve"),
                      QStringLiteral("--station-dir"),
                      m_station,
                      QStringLiteral("--port"),
                      QString::number(holder.serverPort()) });
        QVERIFY(serve.waitForFinished(10000));
        QCOMPARE(serve.exitCode(), 1);
        const QString output = QString::fromUtf8(serve.readAllStandardOutput());
        QVERIFY2(output.contains(QStringLiteral("設定ファイルの PORT"))
                     && output.contains(QStringLiteral("--port")),
                 qPrintable(output));
    }

    // Under a unit of Type=notify: ready once listening, its last line as
    // the status, the watchdog fed while the event loop runs, and the stop.
    void tellsSystemdItIsReadyAndAlive()
    {
        const QByteArray path = m_dir.filePath(QStringLiteral("notify")).toUtf8();
        const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QVERIFY(socket >= 0);
        const auto closeSocket = qScopeGuard([socket] { ::close(socket); });
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
        QList<QByteArray> told;
        const auto receive = [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(socket, buffer, sizeof(buffer), 0)) > 0;)
                told += QByteArray(buffer, n).split('\n');
        };

        QProcess serve;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromUtf8(path));
        environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
        environment.remove(QStringLiteral("WATCHDOG_PID"));
        serve.setProcessEnvironment(environment);
        QVERIFY(startServe(serve, m_station) != 0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                receive();
                return told.count("WATCHDOG=1") >= 3;
            },
            5000));
        QVERIFY2(told.contains("READY=1"), told.join(' ').constData());
        const auto status = std::find_if(told.crbegin(), told.crend(), [](const QByteArray &s) {
            return s.startsWith("STATUS=");
        });
        QVERIFY(status != told.crend());
        QVERIFY2(status->startsWith("STATUS=待ち受け中: ポート "), status->constData());
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
        receive();
        QVERIFY2(told.contains("STOPPING=1"), told.join(' ').constData());
    }

    void stopsAtOnceAfterATerminalHungUp_data()
    {
        QTest::addColumn<bool>("whileWaiting");
        QTest::newRow("the terminal served") << false;
        QTest::newRow("a terminal waiting for its turn") << true;
    }

    void stopsAtOnceAfterATerminalHungUp()
    {
        QFETCH(bool, whileWaiting);
        QProcess serve;
        QByteArray output;
        const quint16 port = startServe(serve, m_station, &output);
        QVERIFY2(port != 0, output.constData());
        const auto served = hello(port, 3);
        QVERIFY(served);
        QVERIFY(served->socket()->waitForReadyRead(5000));
        std::unique_ptr<Tls::TerminalConnection> waiting;
        if (whileWaiting) {
            waiting = hello(port, 4);
            QVERIFY(waiting);
            QVERIFY(waiting->socket()->bytesAvailable() > 0
                    || waiting->socket()->waitForReadyRead(5000));
        }
        (whileWaiting ? waiting : served)->socket()->abort();
        QVERIFY(QTest::qWaitFor(
            [&] {
                output += serve.readAllStandardOutput();
                return output.contains("connection lost");
            },
            5000));

        // The stop waits only for terminals still there, far within its grace.
        QElapsedTimer stopping;
        stopping.start();
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
        QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
