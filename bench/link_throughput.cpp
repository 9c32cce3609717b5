// Sends a large file over loopback TCP to a station in this process, with the
// terminal tool as the terminal, and prints the throughput and this process's
// peak memory: first to a station without a key (plain frames), then to one
// with a key (inside TLS). The station streams each chunk to disk, so its
// memory should not grow with the size of the file.
//   bench_link_throughput [MiB...]   (default: 10 100)

#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Operator.h"
#include "comm/CommServer.h"
#include "link/LinkKey.h"
#include "station/Station.h"
#include "station/StationCore.h"
#include "station/StationInit.h"
#include "tls/TlsHeap.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

class QuietOperator : public Operator
{
public:
    void message(const QString &) override { }
    void information(const QString &, const QString &) override { }
    int choose(const QString &, const QString &, const QStringList &) override { return -1; }
};

// Peak resident memory of this process so far, in KiB.
long peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool makeFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(42);
    random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    for (qint64 done = 0; done < bytes; done += block.size())
        file.write(block.constData(), qMin<qint64>(block.size(), bytes - done));
    return file.error() == QFileDevice::NoError;
}

// Sends files of the given sizes to a station of these settings.
bool run(const Comm::Settings &settings, const QList<int> &sizes, const QString &path)
{
    SystemClock clock;
    QuietOperator op;
    StationCore::LinkOptions link;
    link.addresses = { QHostAddress::LocalHost };
    StationCore core(
        settings, op, clock, [] { return QList<UsbUnit>(); }, link);
    CommServer &server = core.server();
    core.station().load();

    QElapsedTimer linkTimer;
    qint64 linkNs = 0;
    QObject::connect(
        &server, &CommServer::TransferStatus, [&](Link::TransferKind kind, const QString &, int) {
            if (kind == Link::TransferKind::Receiving)
                linkTimer.start();
            if (kind == Link::TransferKind::Saved)
                linkNs = linkTimer.nsecsElapsed();
        });

    for (const int mib : std::as_const(sizes)) {
        const qint64 bytes = qint64(mib) << 20;
        if (!makeFile(path, bytes)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        QProcess terminal;
        QElapsedTimer total;
        total.start();
        QStringList arguments { QStringLiteral("--port"),
                                QString::number(server.serverPort()),
                                QStringLiteral("--terminal"),
                                QStringLiteral("1") };
        if (!settings.linkKey.isEmpty())
            arguments << QStringLiteral("--key") << QString::fromUtf8(settings.linkKey);
        terminal.start(QStringLiteral(TERMINAL_EXE), arguments << QStringLiteral("send") << path);
        QEventLoop loop;
        QObject::connect(&terminal, &QProcess::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const qint64 totalNs = total.nsecsElapsed();
        if (terminal.exitCode() != 0) {
            std::fprintf(
                stderr, "transfer failed: %s\n", terminal.readAllStandardError().constData());
            return false;
        }
        const double mb = double(bytes) / 1e6;
        std::printf("%s %4d MiB: link %.0f MB/s (%.2f s receiving to saved), whole run %.0f MB/s; "
                    "station peak memory %ld KiB\n",
                    settings.linkKey.isEmpty() ? "plain" : "TLS  ",
                    mib,
                    mb / (double(linkNs) / 1e9),
                    double(linkNs) / 1e9,
                    mb / (double(totalNs) / 1e9),
                    peakKiB());
        QFile::remove(path);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // As the station's own main() does.
    Tls::keepBuffersOnHeap();
    QCoreApplication app(argc, argv);
    QList<int> sizes;
    for (const QString &arg : QCoreApplication::arguments().mid(1))
        sizes.append(arg.toInt());
    if (sizes.isEmpty())
        sizes = { 10, 100 };

    QTemporaryDir dir;
    std::printf("station peak memory before any transfer: %ld KiB\n", peakKiB());
    for (const bool keyed : { false, true }) {
        const QString stationDir
            = dir.filePath(keyed ? QStringLiteral("keyed") : QStringLiteral("plain"));
        QString message;
        Comm::Settings settings;
        StationInit::Options options;
        if (keyed)
            options.linkKey = Link::generateKey();
        if (StationInit::run(stationDir, &message, {}, {}, options) != StationInit::Result::Created
            || !Comm::LoadSettings(stationDir, &settings, &message)) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            return 1;
        }
        settings.port = 0;
        settings.maxFile = qint64(1) << 40;
        settings.minFree = 0;
        if (!run(settings, sizes, dir.filePath(QStringLiteral("bench.dat"))))
            return 1;
    }
    return 0;
}
