#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace Link {

class FrameDecoder;

// On a serial line a frame must arrive whole within a second plus twice the
// time its length takes on the line, counted from its first byte, so that a
// peer trickling bytes cannot hold the line and noise that looked like a
// header is given up in time. Without a line speed (TCP) it never expires.
class FrameDeadline : public QObject
{
    Q_OBJECT

public:
    explicit FrameDeadline(int lineBytesPerSecond, QObject *parent = nullptr);

    // Follows the frame the decoder is part way through, after every read;
    // once its header tells the length the deadline follows that.
    void follow(const FrameDecoder &decoder);
    // No frame is awaited now; the next one gets its time afresh.
    void stop();

Q_SIGNALS:
    void expired();

private:
    int m_bytesPerSecond = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_frameStart = -1;
};

} // namespace Link
