// A whole station session driven by a fuzzed terminal over an in-memory
// device. Whatever the terminal sends, the session ends when the device goes,
// every frame the station sends is well formed, no temporary file is left
// behind, and a file stands under its name only if the station said SAVED.
//
// The first input byte picks the mode: bit 0 hunting (serial), bit 1 a link
// key, bit 2 "sealed" (the fuzzed frames get their frame CRC, END's file CRC,
// AUTH's answer and HELLO's version made right, so the fuzzer reaches past
// the checks), bit 3 a stop by the station half way, bits 4-6 the size of the
// pieces fed, bit 7 version 2: the session as it runs inside TLS once the
// handshake has proven the key and terminal 3 (the handshake is OpenSSL's
// and not fuzzed here; TLS runs on TCP only, so never hunting). A sealed
// HELLO there names terminal 3, and the station must neither challenge nor
// welcome with another version than the session's.
#include "link/Crc32.h"
#include "link/LinkFrame.h"
#include "link/LinkKey.h"
#include "link/LinkProtocol.h"
#include "link/StationSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>

namespace {

// One end of a connection in memory: the fuzzer writes what the terminal
// says, the station's replies pile up for the fuzzer to read. Like a socket,
// bytesWritten comes from the event loop, never from inside write().
class MemoryLink : public QIODevice
{
public:
    MemoryLink() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }

    void deliver(QByteArrayView bytes)
    {
        m_in.append(bytes.data(), bytes.size());
        Q_EMIT readyRead();
    }
    QByteArray takeOutput()
    {
        QByteArray out;
        out.swap(m_out);
        return out;
    }
    bool settled() const { return !m_writePending; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_in.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_in.size());
        memcpy(data, m_in.constData(), size_t(n));
        m_in.remove(0, n);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        m_out.append(data, size);
        m_written += size;
        if (!m_writePending) {
            m_writePending = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_writePending = false;
                    const qint64 written = m_written;
                    m_written = 0;
                    Q_EMIT bytesWritten(written);
                },
                Qt::QueuedConnection);
        }
        return size;
    }

private:
    QByteArray m_in;
    QByteArray m_out;
    qint64 m_written = 0;
    bool m_writePending = false;
};

const QByteArray LinkKey = QByteArrayLiteral("fuzz-key");
constexpr quint16 ProvenTerminal = 3;
const QString StagedName = QStringLiteral("BUNMAS.csv");

QCoreApplication *application;
QTemporaryDir *root;

// Reads the station's side of the conversation, frame by frame.
class StationOutput
{
public:
    explicit StationOutput(quint16 version)
        : m_version(version)
    { }

    void take(MemoryLink &link)
    {
        m_decoder.feed(link.takeOutput());
        for (;;) {
            Link::Frame frame;
            QString error;
            const Link::FrameDecoder::Result result = m_decoder.next(&frame, &error);
            if (result == Link::FrameDecoder::Result::Error)
                abort(); // the station sent a broken frame
            if (result == Link::FrameDecoder::Result::NeedMore)
                return;
            if (frame.type == Link::Challenge) {
                if (m_version == Link::TunnelVersion)
                    abort(); // TLS has proven the key; a challenge would ask again
                nonce = frame.payload;
            }
            if (frame.type == Link::Welcome) {
                const std::optional<Link::WelcomeMessage> welcome
                    = Link::decodeWelcome(frame.payload);
                if (!welcome || welcome->version != m_version)
                    abort();
            }
            if (frame.type == Link::Saved) {
                const std::optional<QString> name = Link::decodeName(frame.payload);
                if (!name)
                    abort();
                saved.insert(*name);
            }
        }
    }

    QByteArray nonce;
    QSet<QString> saved;

private:
    quint16 m_version;
    Link::FrameDecoder m_decoder;
};

void settle(MemoryLink &link, StationOutput &output)
{
    for (int round = 0; round < 10000; ++round) {
        QCoreApplication::processEvents();
        output.take(link);
        if (link.settled())
            return;
    }
}

// Makes the frame starting at the input's front right where a checksum or an
// answer would stop the fuzzer, and returns it; the rest of the input when it
// does not look like a frame.
class Sealer
{
public:
    explicit Sealer(quint16 version)
        : m_version(version)
    { }

    QByteArray next(QByteArrayView *input, const QByteArray &nonce)
    {
        if (input->size() < Link::HeaderSize + Link::TrailerSize) {
            const QByteArray rest = input->toByteArray();
            *input = {};
            return rest;
        }
        const quint32 length = qFromBigEndian<quint32>(input->data() + 2);
        const qsizetype whole = Link::HeaderSize + qsizetype(length) + Link::TrailerSize;
        if (length > Link::MaxPayload || whole > input->size()) {
            const QByteArray rest = input->toByteArray();
            *input = {};
            return rest;
        }
        QByteArray frame = input->first(whole).toByteArray();
        *input = input->sliced(whole);
        const quint8 type = quint8(frame[6]);
        char *payload = frame.data() + Link::HeaderSize;
        if (type == Link::Hello && length == 4) {
            qToBigEndian(m_version, payload);
            if (m_version == Link::TunnelVersion)
                qToBigEndian(ProvenTerminal, payload + 2);
            m_terminal = qFromBigEndian<quint16>(payload + 2);
        } else if (type == Link::Put) {
            m_file.reset();
        } else if (type == Link::Data) {
            m_file.update(QByteArrayView(payload, length));
        } else if (type == Link::End && length == 4) {
            qToBigEndian(m_file.value(), payload);
        } else if (type == Link::Auth && length == Link::MacSize && !nonce.isEmpty()) {
            memcpy(
                payload, Link::authAnswer(LinkKey, nonce, m_terminal).constData(), Link::MacSize);
        }
        const quint32 crc = Crc32::of(QByteArrayView(frame.constData() + 2, 5 + length));
        qToBigEndian(crc, frame.data() + Link::HeaderSize + length);
        return frame;
    }

private:
    quint16 m_version;
    quint16 m_terminal = 0;
    Crc32 m_file;
};

void stageExport(const QString &dir)
{
    QFile staged(dir + u'/' + StagedName);
    if (!staged.open(QIODevice::WriteOnly) || staged.write("10,Food\r\n20,Drink\r\n") != 19)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    application = new QCoreApplication(*argc, *argv);
    root = new QTemporaryDir;
    return root->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const quint8 mode = data[0];
    const bool tunnel = mode & 0x80;
    const bool hunting = (mode & 0x01) && !tunnel;
    const bool keyed = mode & 0x02;
    const bool sealed = mode & 0x04;
    const bool stopHalfWay = mode & 0x08;
    const quint16 version = tunnel ? Link::TunnelVersion : Link::Version;
    static constexpr qsizetype Steps[] = { 1, 3, 7, 16, 64, 512, 4096, 1 << 20 };
    const qsizetype step = Steps[(mode >> 4) & 7];
    QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    const QString dir = root->filePath(QStringLiteral("station"));
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    stageExport(dir);

    Link::StationConfig config;
    config.folder = dir;
    config.maxFileSize = 4096;
    config.version = version;
    if (tunnel)
        config.provenTerminal = ProvenTerminal;
    // A keyed station gives its keys to every session; inside TLS they must
    // bring no challenge.
    if (keyed)
        config.linkKeys = { LinkKey };
    config.stagedFiles = [dir](int) {
        return QStringList { dir + u'/' + StagedName };
    };
    config.reservedNames = { QStringLiteral("Tarvinex.ini"), QStringLiteral("tarvinex.db") };

    MemoryLink link;
    StationOutput output(version);
    auto *session = new Link::StationSession(&link, config, QStringLiteral("fuzz"), hunting);
    bool ended = false;
    QObject::connect(session, &Link::StationSession::ended, [&ended] { ended = true; });
    session->begin();

    Sealer sealer(version);
    const qsizetype half = input.size() / 2;
    bool stopped = false;
    while (!input.isEmpty()) {
        const QByteArray piece = sealed ? sealer.next(&input, output.nonce)
                                        : input.first(qMin(step, input.size())).toByteArray();
        if (!sealed)
            input = input.sliced(piece.size());
        for (qsizetype at = 0; at < piece.size(); at += step) {
            link.deliver(QByteArrayView(piece).sliced(at, qMin(step, piece.size() - at)));
            settle(link, output);
        }
        if (stopHalfWay && !stopped && input.size() <= half) {
            stopped = true;
            session->stop(Link::ErrorCode::Stopping, QStringLiteral("station stopping"));
            settle(link, output);
        }
    }
    session->deviceLost();
    settle(link, output);
    if (!ended || !session->hasEnded())
        abort(); // a session that outlives its connection holds the station
    delete session;

    // Received files may be kept in a folder of their own below the station
    // folder; wherever they are, only what was saved stands.
    QDirIterator files(
        dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString name = QFileInfo(files.next()).fileName();
        if (name != StagedName && !output.saved.contains(name))
            abort(); // a file under a name the terminal was never told was saved
    }
    const QStringList beside
        = QDir(root->path())
              .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (beside != QStringList { QStringLiteral("station") })
        abort(); // something written outside the station folder
    return 0;
}
