#include "Files.h"
#include "ServeProcess.h"
#include "link/LinkFrame.h"
#include "link/LinkProtocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The windowless station as an operator runs it: a process that serves
// terminals, prints what the window would show and stops on a signal.
class TestServe : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station;

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
        QCOMPARE(QProcess::execute(QStringLiteral(TERMINAL_EXE),
                                   { QStringLiteral("--port"),
                                     QString::number(port),
                                     QStringLiteral("--terminal"),
                                     QStringLiteral("3"),
                                     QStringLiteral("send"),
                                     order }),
                 0);
        QVERIFY(QFile::exists(m_station + QStringLiteral("/data/0003/snd/S_HACH.dat")));

        // A transfer left half done when the signal comes.
        QTcpSocket terminal;
        terminal.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(terminal.waitForConnected(5000));
        terminal.write(Link::encodeFrame(Link::Hello, Link::encodeHello({ 1, 7 })));
        terminal.write(Link::encodeFrame(
            Link::Put, Link::encodeFileHeader({ 1000, QStringLiteral("S_TANA.dat") })));
        terminal.write(Link::encodeFrame(Link::Data, QByteArray(100, 'x')));
        QVERIFY(terminal.waitForBytesWritten(5000));
        QTRY_COMPARE_WITH_TIMEOUT(leftovers().size(), 1, 5000);
        // And a terminal waiting for its turn.
        QTcpSocket waiting;
        waiting.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(waiting.waitForConnected(5000));
        waiting.write(Link::encodeFrame(Link::Hello, Link::encodeHello({ 1, 4 })));
        QVERIFY(waiting.waitForReadyRead(5000));

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
        QVERIFY(lines.contains(QStringLiteral("S_TANA.dat保存失敗")));
        // It says where it works; with no UNIT set, it says nothing of USB
        // units; the link's own events are printed too, not only logged.
        QCOMPARE(lines.first(),
                 QStringLiteral("station folder: %1 (--station-dir)").arg(m_station));
        QVERIFY2(!output.contains("USB"), output.constData());
        QVERIFY2(lines.indexOf(QRegularExpression(QStringLiteral("^端末 3 \\(.*\\) 接続$"))) >= 0,
                 output.constData());

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
        QTcpSocket served;
        served.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(served.waitForConnected(5000));
        served.write(Link::encodeFrame(Link::Hello, Link::encodeHello({ 1, 3 })));
        QVERIFY(served.waitForReadyRead(5000));
        QTcpSocket waiting;
        if (whileWaiting) {
            waiting.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(waiting.waitForConnected(5000));
            waiting.write(Link::encodeFrame(Link::Hello, Link::encodeHello({ 1, 4 })));
            QVERIFY(waiting.waitForReadyRead(5000));
        }
        (whileWaiting ? waiting : served).abort();
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
