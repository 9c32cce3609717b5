#include "StationSession.h"

#include "LinkKey.h"

#include <QFileInfo>
#include <QIODevice>
#include <QRandomGenerator>

#include <limits>

namespace Link {

StationSession::StationSession(QIODevice *device,
                               const StationConfig &config,
                               const QString &peer,
                               bool hunting,
                               Wire *wire,
                               QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_ownWire(wire ? nullptr : std::make_unique<Wire>(device))
    , m_wire(wire ? wire : m_ownWire.get())
    , m_config(config)
    , m_peer(peer)
    , m_decoder(hunting)
    , m_drain(m_wire, config.stepDeadlineMs)
    , m_frameDeadline(config.lineBytesPerSecond)
{
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(m_config.stepDeadlineMs);
    m_keepAlive.setInterval(m_config.keepAliveMs);
    m_turnWait.setSingleShot(true);
    m_cap.setSingleShot(true);
    if (hunting) {
        // Before HELLO a serial line may carry noise; a HELLO is all that
        // can come then.
        m_decoder.setNoiseAbove(4);
    }
    connect(&m_deadline, &QTimer::timeout, this, &StationSession::onStall);
    connect(&m_drain, &DrainDeadline::expired, this, [this] {
        stop(ErrorCode::Timeout,
             QStringLiteral("the terminal took nothing of what the station sent for %1 ms")
                 .arg(m_config.stepDeadlineMs));
    });
    connect(&m_frameDeadline, &FrameDeadline::expired, this, &StationSession::onFrameOverdue);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { send(Wait); });
    connect(&m_turnWait, &QTimer::timeout, this, [this] {
        stop(ErrorCode::Busy, QStringLiteral("another terminal is being served; try again later"));
    });
    connect(&m_cap, &QTimer::timeout, this, [this] {
        stop(ErrorCode::Timeout,
             QStringLiteral("the session went on past its limit (%1 ms, and the time its files "
                            "take at %2 bytes a second)")
                 .arg(m_config.sessionGraceMs)
                 .arg(m_config.minBytesPerSecond));
    });
    connect(device, &QIODevice::readyRead, this, &StationSession::pump);
    connect(m_wire, &Wire::taken, this, &StationSession::onBytesWritten);
}

StationSession::~StationSession() = default;

void StationSession::begin()
{
    if (m_state != State::Idle)
        return;
    m_turnWait.stop();
    m_keepAlive.stop();
    m_state = State::Hello;
    m_deadline.start();
    m_cap.start(m_config.sessionGraceMs);
    pump();
}

void StationSession::waitForTurn(int waitMs)
{
    if (m_state != State::Idle)
        return;
    send(Wait);
    m_keepAlive.start();
    m_turnWait.start(waitMs);
}

void StationSession::stop(ErrorCode code, const QString &reason)
{
    if (m_state == State::Ended)
        return;
    m_stopAsked = ErrorMessage { code, reason };
    if (!m_pumping)
        endIfAsked();
    finish();
}

void StationSession::deviceLost()
{
    if (m_state == State::Ended)
        return;
    // Whatever arrived before the connection closed is still served.
    if (m_state != State::Idle)
        pump();
    m_lost = true;
    if (!m_pumping)
        endIfAsked();
    finish();
}

bool StationSession::endIfAsked()
{
    if (m_state == State::Ended || m_inHandler || (!m_lost && !m_stopAsked))
        return false;
    if (m_lost)
        end(who() + QStringLiteral(" 通信途絶: connection lost"));
    else
        fail(m_stopAsked->code, m_stopAsked->reason);
    m_stopAsked.reset();
    return true;
}

void StationSession::filingFailed(const QString &reason)
{
    if (m_inHandler)
        m_filingFailure = reason;
}

bool StationSession::reading() const
{
    return m_state == State::Hello || m_state == State::Auth || m_state == State::Ready
        || m_state == State::Receiving;
}

void StationSession::pump()
{
    if (m_pumping || m_inHandler || m_state == State::Idle)
        return;
    if (m_state == State::Ended) {
        finish();
        return;
    }
    m_pumping = true;
    while (m_state != State::Ended && m_state != State::Sending) {
        if (endIfAsked())
            break;
        // What the peer has not taken yet bounds what it may ask for next.
        if (m_wire->queued() > m_config.maxQueuedBytes)
            break;
        Frame frame;
        QString error;
        const FrameDecoder::Result result = m_decoder.next(&frame, &error);
        if (result == FrameDecoder::Result::Frame) {
            handle(frame);
            if (reading())
                m_deadline.start();
            continue;
        }
        if (result == FrameDecoder::Result::Error) {
            fail(ErrorCode::BadFrame, error);
            break;
        }
        if (!m_device || !m_device->isReadable())
            break;
        const QByteArray bytes = m_device->read(HeaderSize + MaxPayload + TrailerSize);
        if (bytes.isEmpty())
            break;
        m_decoder.feed(bytes);
    }
    m_pumping = false;
    if (reading())
        m_frameDeadline.follow(m_decoder);
    else
        m_frameDeadline.stop();
    endIfAsked();
    finish();
}

void StationSession::handle(const Frame &frame)
{
    if (frame.type == Error) {
        const std::optional<ErrorMessage> error = decodeError(frame.payload);
        const QString reason = error
            ? QStringLiteral("%1: %2").arg(describeError(error->code), error->reason)
            : QStringLiteral("(malformed)");
        end(who() + QStringLiteral(" がエラーを返しました: ") + reason);
        return;
    }
    const auto unexpected = [&](const QString &expected) {
        fail(ErrorCode::Unexpected,
             QStringLiteral("expected %1, got %2").arg(expected, typeName(frame.type)));
    };
    switch (m_state) {
    case State::Hello:
        if (frame.type == Hello)
            onHello(frame);
        else
            unexpected(QStringLiteral("HELLO"));
        return;
    case State::Auth:
        if (frame.type == Auth)
            onAuth(frame);
        else
            unexpected(QStringLiteral("AUTH"));
        return;
    case State::Ready:
        if (frame.type == Put)
            onPut(frame);
        else if (frame.type == Fetch && frame.payload.isEmpty() && m_fetches < m_config.maxFetches)
            onFetch();
        else if (frame.type == Fetch && frame.payload.isEmpty())
            fail(ErrorCode::Unexpected,
                 QStringLiteral("more than %1 FETCH in one session").arg(m_config.maxFetches));
        else if (frame.type == Bye && frame.payload.isEmpty()) {
            send(Bye);
            m_goodbye = true;
            m_endNote = who() + QStringLiteral(" 切断");
            Q_EMIT note(m_endNote);
            m_state = State::Ended;
        } else
            unexpected(QStringLiteral("PUT, FETCH or BYE"));
        return;
    case State::Receiving:
        if (frame.type == Data && !frame.payload.isEmpty())
            onData(frame);
        else if (frame.type == End)
            onEnd(frame);
        else
            unexpected(QStringLiteral("DATA or END"));
        return;
    case State::Idle:
    case State::Sending:
    case State::Ended:
        return;
    }
}

void StationSession::onHello(const Frame &frame)
{
    const std::optional<HelloMessage> hello = decodeHello(frame.payload);
    if (!hello) {
        fail(ErrorCode::Unexpected, QStringLiteral("malformed HELLO"));
        return;
    }
    m_named = hello->terminal;
    if (hello->version != m_config.version) {
        fail(ErrorCode::BadVersion,
             m_config.version == TunnelVersion
                 ? QStringLiteral("inside TLS HELLO carries protocol version %1").arg(TunnelVersion)
                 : QStringLiteral("protocol version %1 runs inside TLS only; plain frames speak "
                                  "version %2")
                       .arg(hello->version)
                       .arg(Version));
        return;
    }
    if (hello->terminal < m_config.firstTerminal || hello->terminal > m_config.lastTerminal) {
        fail(ErrorCode::BadTerminal,
             QStringLiteral("terminal %1 is not one of this station's terminals (%2 to %3)")
                 .arg(hello->terminal)
                 .arg(m_config.firstTerminal)
                 .arg(m_config.lastTerminal));
        return;
    }
    if (m_config.provenTerminal != 0 && hello->terminal != m_config.provenTerminal) {
        fail(ErrorCode::BadTerminal,
             QStringLiteral("HELLO names terminal %1, the TLS identity terminal %2")
                 .arg(hello->terminal)
                 .arg(m_config.provenTerminal));
        return;
    }
    m_terminal = hello->terminal;
    m_decoder.setNoiseAbove(0);
    // Inside TLS the handshake has proven the key already.
    if (m_config.version == TunnelVersion || m_config.linkKeys.isEmpty()) {
        welcome();
        return;
    }
    m_nonce.resize(NonceSize);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_nonce.data()),
                                          NonceSize / int(sizeof(quint32)));
    m_state = State::Auth;
    send(Challenge, m_nonce);
}

void StationSession::onAuth(const Frame &frame)
{
    // A terminal answers with the key as written or, as one typed by hand
    // should, in its canonical form.
    for (const QByteArray &key : std::as_const(m_config.linkKeys)) {
        for (const QByteArray &form : { key, canonicalKey(key) }) {
            if (sameAnswer(frame.payload, authAnswer(form, m_nonce, quint16(m_terminal)))) {
                welcome();
                return;
            }
        }
    }
    fail(ErrorCode::AuthFailed, QStringLiteral("wrong answer to the challenge"));
}

QString StationSession::who() const
{
    // A terminal refused at its HELLO is named as it named itself; before
    // one, as its TLS identity proved it, else it is not yet known and is told
    // apart by its address alone.
    const int named = m_named ? m_named : m_config.provenTerminal;
    const QString terminal = named ? QString::number(named) : QStringLiteral("?");
    return QStringLiteral("端末 %1 (%2)").arg(terminal, m_peer);
}

void StationSession::welcome()
{
    m_state = State::Ready;
    send(Welcome, encodeWelcome({ m_config.version, quint64(m_config.maxFileSize), MaxPayload }));
    Q_EMIT note(who() + QStringLiteral(" 接続"));
}

void StationSession::onPut(const Frame &frame)
{
    const std::optional<FileHeader> header = decodeFileHeader(frame.payload);
    if (!header) {
        fail(ErrorCode::BadName, QStringLiteral("malformed PUT (name not UTF-8?)"));
        return;
    }
    QString why;
    if (!isBareName(header->name, &why)) {
        fail(ErrorCode::BadName, QStringLiteral("refused name \"%1\": %2").arg(header->name, why));
        return;
    }
    if (m_config.reservedNames.contains(header->name)
        || QFileInfo(m_config.folder + u'/' + header->name).isDir()) {
        fail(ErrorCode::BadName,
             QStringLiteral("refused name \"%1\": used by the station itself").arg(header->name));
        return;
    }
    if (header->size > quint64(m_config.maxFileSize)) {
        fail(ErrorCode::TooLarge,
             QStringLiteral("file \"%1\" of %2 bytes exceeds the limit of %3 bytes")
                 .arg(header->name)
                 .arg(header->size)
                 .arg(m_config.maxFileSize));
        return;
    }
    if (const QString refusal = m_config.admit ? m_config.admit(qint64(header->size)) : QString();
        !refusal.isEmpty()) {
        fail(ErrorCode::StationFailure,
             QStringLiteral("file \"%1\" refused: %2").arg(header->name, refusal));
        return;
    }
    auto incoming = std::make_unique<IncomingFile>(m_config.folder, header->name, header->size);
    QString error;
    if (!incoming->open(&error)) {
        fail(ErrorCode::StationFailure, error);
        return;
    }
    m_incoming = std::move(incoming);
    m_state = State::Receiving;
    allowFor(header->size);
    raise(TransferKind::Receiving, header->name);
}

void StationSession::onData(const Frame &frame)
{
    QString error;
    if (m_incoming->received() + quint64(frame.payload.size()) > m_incoming->size()) {
        fail(ErrorCode::BadLength,
             QStringLiteral("more data than the announced %1 bytes").arg(m_incoming->size()));
        return;
    }
    if (!m_incoming->append(frame.payload, &error))
        fail(ErrorCode::StationFailure, error);
}

void StationSession::onEnd(const Frame &frame)
{
    const std::optional<quint32> crc = decodeU32(frame.payload);
    if (!crc) {
        fail(ErrorCode::Unexpected, QStringLiteral("malformed END"));
        return;
    }
    if (m_incoming->received() != m_incoming->size()) {
        fail(ErrorCode::BadLength,
             QStringLiteral("END after %1 of %2 bytes")
                 .arg(m_incoming->received())
                 .arg(m_incoming->size()));
        return;
    }
    if (!m_incoming->matches(*crc)) {
        fail(ErrorCode::BadChecksum, QStringLiteral("file checksum does not match"));
        return;
    }
    const QString name = m_incoming->name();
    raise(TransferKind::Saving, name);
    if (m_state == State::Ended)
        return;
    QString error;
    if (!m_incoming->finish(*crc, &error)) {
        fail(ErrorCode::StationFailure, error);
        return;
    }
    m_incoming.reset();
    m_state = State::Ready;
    // The terminal hears "saved" only once the station has filed the file,
    // so what it asks next (its masters after CTRL.csv) is ready, and a file
    // the station could not file stays the terminal's to send again.
    m_filingFailure.clear();
    raise(TransferKind::Saved, name);
    if (m_state == State::Ended)
        return;
    if (!m_filingFailure.isEmpty()) {
        fail(ErrorCode::StationFailure, m_filingFailure);
        return;
    }
    send(Link::Saved, encodeName(name));
}

void StationSession::onFetch()
{
    ++m_fetches;
    m_toSend = m_config.stagedFiles ? m_config.stagedFiles(m_terminal) : QStringList();
    m_sentCount = 0;
    m_state = State::Sending;
    // While the station sends, the peer owes it nothing but taking it.
    m_deadline.stop();
    sendMore();
}

void StationSession::sendMore()
{
    while (m_state == State::Sending && m_device) {
        if (endIfAsked())
            return;
        if (!m_outgoing) {
            if (m_toSend.isEmpty()) {
                send(Fetched, encodeU16(quint16(m_sentCount)));
                m_state = State::Ready;
                m_deadline.start();
                return;
            }
            const QString path = m_toSend.takeFirst();
            const QString name = QFileInfo(path).fileName();
            auto outgoing = std::make_unique<OutgoingFile>();
            QString error;
            // Staged but gone: the terminal would miss a file it has, so it
            // is told to ask again rather than given fewer.
            if (!outgoing->open(path, &error)) {
                fail(ErrorCode::StationFailure,
                     QStringLiteral("the staged file %1 cannot be sent: %2").arg(name, error));
                return;
            }
            send(File, encodeFileHeader({ outgoing->size(), name }));
            allowFor(outgoing->size());
            m_outgoing = std::move(outgoing);
            ++m_sentCount;
            raise(TransferKind::Sending, name);
            continue;
        }
        QString error;
        const bool pumped = m_outgoing->pump(*m_device, *m_wire, &error);
        m_drain.arm();
        if (!pumped) {
            fail(ErrorCode::StationFailure, error);
            return;
        }
        if (!m_outgoing->done())
            return; // more once the device has taken some
        m_outgoing.reset();
    }
}

void StationSession::onBytesWritten()
{
    if (m_inHandler || m_pumping)
        return;
    if (m_state == State::Sending)
        sendMore();
    // Anything the terminal sent meanwhile (or while its answers queued) is
    // served now.
    pump();
    finish();
}

void StationSession::onFrameOverdue()
{
    if (m_state == State::Hello && m_decoder.skipPendingFrame()) {
        // Noise that looked like a header: the terminal's HELLO may be
        // among what followed it.
        pump();
        return;
    }
    stop(ErrorCode::Timeout,
         QStringLiteral("a frame did not arrive whole within its time on the line"));
}

void StationSession::allowFor(quint64 bytes)
{
    const qint64 rate = qMax<qint64>(1, m_config.minBytesPerSecond);
    const qint64 more = qint64(qMin<quint64>(bytes, quint64(1) << 50) * 1000 / quint64(rate));
    const qint64 left = qMax(0, m_cap.remainingTime());
    m_cap.start(int(qMin<qint64>(left + more, std::numeric_limits<int>::max())));
}

void StationSession::onStall()
{
    stop(ErrorCode::Timeout,
         QStringLiteral("no whole message for %1 ms").arg(m_config.stepDeadlineMs));
}

void StationSession::send(quint8 type, const QByteArray &payload)
{
    if (!m_lost && m_device && m_device->isWritable()) {
        m_device->write(encodeFrame(type, payload));
        m_drain.arm();
    }
}

void StationSession::fail(ErrorCode code, const QString &reason)
{
    if (m_state == State::Ended)
        return;
    end(who() + QStringLiteral(" 通信エラー %1: %2").arg(describeError(code), reason),
        ErrorMessage { code, reason });
}

void StationSession::end(const QString &why, const std::optional<ErrorMessage> &answer)
{
    const bool receiving = bool(m_incoming);
    const QString name = receiving ? m_incoming->name() : QString();
    m_incoming.reset();
    m_outgoing.reset();
    if (answer)
        send(Error, encodeError(*answer));
    m_state = State::Ended;
    m_endNote = why;
    Q_EMIT note(why);
    if (receiving)
        raise(TransferKind::SaveFailed, name);
}

void StationSession::raise(TransferKind kind, const QString &name)
{
    // The handler may wait for the operator; the terminal is kept informed
    // meanwhile, and its silence is no stall.
    const bool stalling = m_deadline.isActive();
    m_deadline.stop();
    m_keepAlive.start();
    m_inHandler = true;
    Q_EMIT transferStatus(kind, name, m_terminal);
    m_inHandler = false;
    m_keepAlive.stop();
    if (stalling && m_state != State::Ended)
        m_deadline.start();
}

void StationSession::finish()
{
    if (m_state != State::Ended || m_pumping || m_inHandler || m_endedRaised)
        return;
    m_deadline.stop();
    m_drain.stop();
    m_frameDeadline.stop();
    m_keepAlive.stop();
    m_turnWait.stop();
    m_cap.stop();
    m_incoming.reset();
    m_outgoing.reset();
    m_endedRaised = true;
    Q_EMIT ended();
}

} // namespace Link
