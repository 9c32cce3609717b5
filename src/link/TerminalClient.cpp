#include "TerminalClient.h"

#include "LinkKey.h"

#include <QFileInfo>
#include <QIODevice>

namespace Link {

TerminalClient::TerminalClient(QIODevice *device,
                               const Options &options,
                               Wire *wire,
                               QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_ownWire(wire ? nullptr : std::make_unique<Wire>(device))
    , m_wire(wire ? wire : m_ownWire.get())
    , m_options(options)
{
    m_stall.setSingleShot(true);
    m_stall.setInterval(m_options.stallTimeoutMs);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no answer from the station for %1 ms").arg(m_options.stallTimeoutMs),
             true);
    });
    connect(device, &QIODevice::readyRead, this, &TerminalClient::pump);
    connect(m_wire, &Wire::taken, this, [this] {
        if (m_stall.isActive())
            m_stall.start();
        if (m_state == State::Sending)
            sendMore();
    });
    connect(device, &QIODevice::readChannelFinished, this, [this] {
        pump();
        if (!m_finished)
            fail(QStringLiteral("the station closed the connection"), false);
    });
    connect(device, &QIODevice::aboutToClose, this, [this] {
        if (!m_finished)
            fail(QStringLiteral("the connection was closed: %1").arg(m_device->errorString()),
                 false);
    });
}

TerminalClient::~TerminalClient() = default;

void TerminalClient::put(const QString &path)
{
    m_steps.append({ false, path });
}

void TerminalClient::fetch(const QString &dir)
{
    m_steps.append({ true, dir });
}

void TerminalClient::start()
{
    if (m_state != State::Idle)
        return;
    m_state = State::Hello;
    m_stall.start();
    send(Hello, encodeHello({ m_options.version, quint16(m_options.terminal) }));
    pump();
}

void TerminalClient::pump()
{
    while (!m_finished && m_device) {
        Frame frame;
        QString error;
        const FrameDecoder::Result result = m_decoder.next(&frame, &error);
        if (result == FrameDecoder::Result::Frame) {
            m_stall.start();
            handle(frame);
            continue;
        }
        if (result == FrameDecoder::Result::Error) {
            fail(error, true);
            return;
        }
        const QByteArray bytes = m_device->read(HeaderSize + MaxPayload + TrailerSize);
        if (bytes.isEmpty())
            return;
        m_decoder.feed(bytes);
    }
}

void TerminalClient::handle(const Frame &frame)
{
    if (frame.type == Wait)
        return;
    if (frame.type == Error) {
        const std::optional<ErrorMessage> error = decodeError(frame.payload);
        fail(error ? QStringLiteral("station error %1: %2")
                         .arg(describeError(error->code), error->reason)
                   : QStringLiteral("station error (malformed)"),
             false);
        return;
    }
    const auto unexpected = [&] {
        fail(QStringLiteral("unexpected %1 from the station").arg(typeName(frame.type)), true);
    };
    switch (m_state) {
    case State::Hello:
        if (frame.type == Challenge && frame.payload.size() == NonceSize && !m_challenged
            && m_options.version == Version) {
            if (m_options.linkKey.isEmpty()) {
                fail(QStringLiteral("the station asks for a link key"), true);
                return;
            }
            m_challenged = true;
            send(Auth,
                 authAnswer(
                     canonicalKey(m_options.linkKey), frame.payload, quint16(m_options.terminal)));
        } else if (frame.type == Welcome) {
            const std::optional<WelcomeMessage> welcome = decodeWelcome(frame.payload);
            if (!welcome || welcome->version != m_options.version) {
                fail(QStringLiteral("the station speaks another protocol version"), true);
                return;
            }
            // A station that lets a keyed terminal in unasked does not have
            // the key: it is not the terminal's station.
            if (m_options.version == Version && !m_options.linkKey.isEmpty() && !m_challenged) {
                fail(QStringLiteral("the station did not ask for the link key; it is not the "
                                    "station the key belongs to"),
                     true);
                return;
            }
            m_welcome = *welcome;
            nextStep();
        } else {
            unexpected();
        }
        return;
    case State::AwaitSaved:
        if (frame.type == Saved && decodeName(frame.payload) == m_sendingName) {
            m_saved.append(m_sendingName);
            Q_EMIT saved(m_sendingName);
            nextStep();
        } else {
            unexpected();
        }
        return;
    case State::Fetching:
        if (frame.type == File && !m_incoming)
            onFileHeader(frame);
        else if (frame.type == Data && m_incoming)
            onData(frame);
        else if (frame.type == End && m_incoming)
            onEnd(frame);
        else if (frame.type == Fetched && !m_incoming)
            nextStep();
        else
            unexpected();
        return;
    case State::Bye:
        if (frame.type == Bye)
            done(true, QString());
        else
            unexpected();
        return;
    case State::Sending:
    case State::Idle:
    case State::Ready:
    case State::Done:
        unexpected();
        return;
    }
}

void TerminalClient::nextStep()
{
    if (m_steps.isEmpty()) {
        m_state = State::Bye;
        send(Bye);
        return;
    }
    m_step = m_steps.takeFirst();
    if (m_step.fetch) {
        m_state = State::Fetching;
        send(Fetch);
        return;
    }
    const QString name = QFileInfo(m_step.path).fileName();
    QString why;
    if (!isBareName(name, &why)) {
        fail(QStringLiteral("%1: %2").arg(m_step.path, why), true);
        return;
    }
    auto outgoing = std::make_unique<OutgoingFile>();
    QString error;
    if (!outgoing->open(m_step.path, &error)) {
        fail(error, true);
        return;
    }
    if (outgoing->size() > m_welcome.maxFileSize) {
        fail(QStringLiteral("%1: %2 bytes, the station takes at most %3")
                 .arg(m_step.path)
                 .arg(outgoing->size())
                 .arg(m_welcome.maxFileSize),
             true);
        return;
    }
    m_sendingName = name;
    m_outgoing = std::move(outgoing);
    m_state = State::Sending;
    send(Put, encodeFileHeader({ m_outgoing->size(), name }));
    sendMore();
}

void TerminalClient::sendMore()
{
    QString error;
    if (!m_outgoing->pump(*m_device, *m_wire, &error)) {
        fail(error, true);
        return;
    }
    if (m_outgoing->done()) {
        m_outgoing.reset();
        m_state = State::AwaitSaved;
    }
}

void TerminalClient::onFileHeader(const Frame &frame)
{
    const std::optional<FileHeader> header = decodeFileHeader(frame.payload);
    QString why;
    if (!header || !isBareName(header->name, &why)) {
        fail(QStringLiteral("the station sent a file with a bad name: %1").arg(why), true);
        return;
    }
    auto incoming = std::make_unique<IncomingFile>(m_step.path, header->name, header->size);
    QString error;
    if (!incoming->open(&error)) {
        fail(error, true);
        return;
    }
    m_incoming = std::move(incoming);
}

void TerminalClient::onData(const Frame &frame)
{
    QString error;
    if (!m_incoming->append(frame.payload, &error))
        fail(error, true);
}

void TerminalClient::onEnd(const Frame &frame)
{
    const std::optional<quint32> crc = decodeU32(frame.payload);
    QString error;
    if (!crc || !m_incoming->finish(*crc, &error)) {
        fail(crc ? error : QStringLiteral("malformed END"), true);
        return;
    }
    const QString name = m_incoming->name();
    m_incoming.reset();
    m_fetched.append(name);
    Q_EMIT fetched(name);
}

void TerminalClient::send(quint8 type, const QByteArray &payload)
{
    if (m_device && m_device->isWritable())
        m_device->write(encodeFrame(type, payload));
}

void TerminalClient::fail(const QString &error, bool tellStation)
{
    if (m_finished)
        return;
    if (tellStation)
        send(Error, encodeError({ ErrorCode::Unexpected, error }));
    done(false, error);
}

void TerminalClient::done(bool ok, const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_ok = ok;
    m_error = error;
    m_state = State::Done;
    m_stall.stop();
    m_incoming.reset();
    m_outgoing.reset();
    Q_EMIT finished(ok, error);
}

} // namespace Link
