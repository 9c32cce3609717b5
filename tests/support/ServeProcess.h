#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

// For suites that run the program itself (they define TARVINEX_EXE).
//
// A port nothing listens on just now.
inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : quint16(0);
}

// Starts `tarvinex serve` on the station on a free port and waits until it
// listens: the port, or 0 when it did not start. What it printed meanwhile
// is added to *output when given.
inline quint16 startServe(QProcess &serve, const QString &station, QByteArray *output = nullptr)
{
    serve.start(QStringLiteral(TARVINEX_EXE),
                { QStringLiteral("serve"),
                  QStringLiteral("--station-dir"),
                  station,
                  QStringLiteral("--port"),
                  QString::number(freePort()) });
    const QRegularExpression listening(QStringLiteral("待ち受け中: ポート (\\d+)"));
    QByteArray printed;
    quint16 port = 0;
    const bool started = QTest::qWaitFor(
        [&] {
            printed += serve.readAllStandardOutput();
            const auto match = listening.match(QString::fromUtf8(printed));
            if (match.hasMatch())
                port = quint16(match.captured(1).toUInt());
            return port != 0 || serve.state() == QProcess::NotRunning;
        },
        10000);
    if (output)
        *output += printed;
    return started ? port : quint16(0);
}
