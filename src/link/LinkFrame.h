#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The framing of the terminal link. Every message travels as one frame:
//
//   magic "TV" (2) | length N (4, big-endian) | type (1) | payload (N) | CRC-32 (4, big-endian)
//
// The CRC-32 covers length, type and payload. No I/O here: the encoder makes
// bytes, the decoder takes whatever pieces arrive and hands out whole frames.
namespace Link {

inline constexpr char Magic[2] = { 'T', 'V' };
inline constexpr qsizetype HeaderSize = 7;
inline constexpr qsizetype TrailerSize = 4;
// The largest payload of any message: one chunk of file data.
inline constexpr quint32 MaxPayload = 65536;

struct Frame
{
    quint8 type = 0;
    QByteArray payload;
};

QByteArray encodeFrame(quint8 type, QByteArrayView payload = {});

class FrameDecoder
{
public:
    enum class Result { NeedMore, Frame, Error };

    // On a serial line noise or the tail of an earlier broken frame may come
    // before the next frame; a hunting decoder skips bytes until it finds the
    // magic. On TCP anything but a frame is an error. A bad length or CRC is
    // an error either way.
    explicit FrameDecoder(bool hunting = false)
        : m_hunting(hunting)
    { }

    void feed(QByteArrayView bytes);
    // Takes the next whole frame. After an Error the decoder stays failed.
    Result next(Frame *frame, QString *error);
    qsizetype buffered() const { return m_buffer.size() - m_pos; }

    // While a hunting decoder waits for a session's first frame, whose
    // payload is small, a header announcing more is line noise that happened
    // to hold the magic: it is skipped and the search goes on from the next
    // byte. 0 ends that.
    void setNoiseAbove(quint32 payloadLimit) { m_noiseAbove = payloadLimit; }
    // The bytes of the frame now arriving, as far as its header tells:
    // 0 when no frame has begun.
    qsizetype pendingFrameSize() const;
    // Where the frame now arriving began, counted in bytes since the decoder
    // was made; it tells one half-frame from the next.
    qint64 pendingFrameStart() const { return m_dropped + m_pos; }
    // A hunting decoder gives up the frame now arriving as noise and looks
    // for the magic from its next byte; false when there is nothing to skip.
    bool skipPendingFrame();

private:
    void compact();

    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_dropped = 0;
    bool m_hunting = false;
    bool m_failed = false;
    quint32 m_noiseAbove = 0;
};

} // namespace Link
