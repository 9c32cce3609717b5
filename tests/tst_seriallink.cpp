#include "LinkStation.h"

#include "link/Crc32.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QStandardPaths>

// The link over a serial line: a pseudo-terminal pair stands in for the
// cable between the station's USB unit and a terminal.
class TestSerialLink : public QObject
{
    Q_OBJECT

private:
    QProcess m_socat;
    QString m_stationEnd;
    QString m_terminalEnd;

    // Runs the terminal tool on the terminal's end of the line.
    bool runTool(const QStringList &arguments, QString *output = nullptr)
    {
        QProcess tool;
        tool.start(QStringLiteral(TERMINAL_EXE),
                   QStringList { QStringLiteral("--device"),
                                 m_terminalEnd,
                                 QStringLiteral("--timeout"),
                                 QStringLiteral("10") }
                       + arguments);
        // The station answers from this thread's event loop.
        const bool finished
            = QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 20000);
        if (output)
            *output = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        return finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty())
            QSKIP("socat is not installed");
        m_socat.start(socat,
                      { QStringLiteral("-d"),
                        QStringLiteral("-d"),
                        QStringLiteral("pty,raw,echo=0"),
                        QStringLiteral("pty,raw,echo=0") });
        QVERIFY(m_socat.waitForStarted());
        QStringList ptys;
        QByteArray log;
        const QRegularExpression pty(QStringLiteral("PTY is (\\S+)"));
        QVERIFY(QTest::qWaitFor(
            [&] {
                log += m_socat.readAllStandardError();
                ptys.clear();
                auto it = pty.globalMatch(QString::fromUtf8(log));
                while (it.hasNext())
                    ptys.append(it.next().captured(1));
                return ptys.size() == 2 && log.contains("starting data transfer loop");
            },
            5000));
        m_stationEnd = ptys.at(0);
        m_terminalEnd = ptys.at(1);
    }

    void cleanupTestCase()
    {
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.terminate();
            m_socat.waitForFinished(3000);
        }
    }

    void filesAndMastersOverTheLine()
    {
        const QString unit = m_stationEnd;
        LinkStation s({}, [unit] {
            return QList<UsbUnit> { UsbUnit { QFileInfo(unit).fileName(), unit, {}, {}, 0, 0 } };
        });
        QVERIFY(s.server->Listening());
        QVERIFY2(s.logText().contains(unit), qPrintable(s.logText()));
        QVERIFY(writeFile(s.rcv(3, QStringLiteral("SHOMAS.csv")), QByteArray(200000, 's')));

        QTemporaryDir out;
        const QString order = out.filePath(QStringLiteral("S_HACH.dat"));
        QVERIFY(writeFile(order, QByteArray(150000, 'h')));
        const QString ctrl = out.filePath(QStringLiteral("CTRL.csv"));
        QVERIFY(writeFile(ctrl, "ctrl"));
        const QString into = out.filePath(QStringLiteral("in"));
        QDir().mkpath(into);
        QString output;
        QVERIFY2(runTool({ QStringLiteral("--terminal"),
                           QStringLiteral("3"),
                           QStringLiteral("send"),
                           order,
                           ctrl,
                           QStringLiteral("--fetch"),
                           into },
                         &output),
                 qPrintable(output));
        QCOMPARE(output, QStringLiteral("saved S_HACH.dat\nsaved CTRL.csv\nfetched SHOMAS.csv\n"));
        QCOMPARE(readFile(s.snd(3, QStringLiteral("S_HACH.dat"))), QByteArray(150000, 'h'));
        QCOMPARE(readFile(into + QStringLiteral("/SHOMAS.csv")), QByteArray(200000, 's'));

        // Noise and a broken frame on the line: refused, and the next session
        // on the same line is served.
        {
            QSerialPort line(m_terminalEnd);
            QVERIFY(line.open(QIODevice::ReadWrite));
            QByteArray broken = Link::encodeFrame(Link::Hello, Link::encodeHello({ 1, 3 }));
            broken[8] = 'X';
            line.write(QByteArray("\x00\x13noise") + broken);
            QByteArray answer;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    answer += line.readAll();
                    return answer.contains(char(Link::Error));
                },
                5000));
            QTRY_VERIFY_WITH_TIMEOUT(s.logText().contains(QStringLiteral("通信エラー 1")), 5000);
        }
        // Noise that looks like headers of frames which never come does not
        // leave the line deaf until a deadline: the next terminal is heard.
        {
            QSerialPort line(m_terminalEnd);
            QVERIFY(line.open(QIODevice::ReadWrite));
            line.write(QByteArray("TV\x00\x00\x01\x00\x01", 7)
                       + QByteArray("TV\x00\x00\x00\x04\x01", 7));
            QVERIFY(line.waitForBytesWritten(1000));
            QTest::qWait(2500);
        }
        QVERIFY2(runTool({ QStringLiteral("--terminal"),
                           QStringLiteral("4"),
                           QStringLiteral("send"),
                           order },
                         &output),
                 qPrintable(output));
        QCOMPARE(readFile(s.snd(4, QStringLiteral("S_HACH.dat"))), QByteArray(150000, 'h'));
    }
};

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
