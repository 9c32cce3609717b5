#include "LinkFrame.h"

#include "Crc32.h"

#include <QtEndian>

namespace Link {

QByteArray encodeFrame(quint8 type, QByteArrayView payload)
{
    Q_ASSERT(quint32(payload.size()) <= MaxPayload);
    QByteArray frame;
    frame.resize(HeaderSize + payload.size() + TrailerSize);
    char *p = frame.data();
    p[0] = Magic[0];
    p[1] = Magic[1];
    qToBigEndian(quint32(payload.size()), p + 2);
    p[6] = char(type);
    if (!payload.isEmpty())
        memcpy(p + HeaderSize, payload.data(), size_t(payload.size()));
    const quint32 crc = Crc32::of(QByteArrayView(p + 2, HeaderSize - 2 + payload.size()));
    qToBigEndian(crc, p + HeaderSize + payload.size());
    return frame;
}

void FrameDecoder::feed(QByteArrayView bytes)
{
    compact();
    m_buffer.append(bytes);
}

void FrameDecoder::compact()
{
    // Consumed bytes are dropped once they are the larger part, so the buffer
    // stays about one frame long however much passes through.
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_dropped += m_pos;
        m_pos = 0;
    }
}

qsizetype FrameDecoder::pendingFrameSize() const
{
    const qsizetype available = buffered();
    if (available <= 0 || m_failed)
        return 0;
    if (available < HeaderSize)
        return HeaderSize + TrailerSize;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos + 2);
    return HeaderSize + qsizetype(qMin(length, MaxPayload)) + TrailerSize;
}

bool FrameDecoder::skipPendingFrame()
{
    if (!m_hunting || m_failed || buffered() <= 0)
        return false;
    ++m_pos;
    return true;
}

FrameDecoder::Result FrameDecoder::next(Frame *frame, QString *error)
{
    if (m_failed)
        return Result::Error;
    for (;;) {
        const qsizetype available = m_buffer.size() - m_pos;
        const char *p = m_buffer.constData() + m_pos;
        if (available >= 1 && p[0] != Magic[0]) {
            if (m_hunting) {
                ++m_pos;
                continue;
            }
            m_failed = true;
            *error = QStringLiteral("not a frame (bad magic)");
            return Result::Error;
        }
        if (available < 2)
            return Result::NeedMore;
        if (p[1] != Magic[1]) {
            if (m_hunting) {
                ++m_pos;
                continue;
            }
            m_failed = true;
            *error = QStringLiteral("not a frame (bad magic)");
            return Result::Error;
        }
        if (available < HeaderSize)
            return Result::NeedMore;
        const quint32 length = qFromBigEndian<quint32>(p + 2);
        if (m_hunting && m_noiseAbove != 0 && length > m_noiseAbove) {
            ++m_pos;
            continue;
        }
        if (length > MaxPayload) {
            m_failed = true;
            *error = QStringLiteral("frame length %1 exceeds %2").arg(length).arg(MaxPayload);
            return Result::Error;
        }
        const qsizetype total = HeaderSize + qsizetype(length) + TrailerSize;
        if (available < total)
            return Result::NeedMore;
        const quint32 crc = qFromBigEndian<quint32>(p + HeaderSize + length);
        if (crc != Crc32::of(QByteArrayView(p + 2, HeaderSize - 2 + length))) {
            m_failed = true;
            *error = QStringLiteral("frame CRC mismatch");
            return Result::Error;
        }
        frame->type = quint8(p[6]);
        frame->payload = QByteArray(p + HeaderSize, length);
        m_pos += total;
        return Result::Frame;
    }
}

} // namespace Link
