#include "FrameDeadline.h"

#include "LinkFrame.h"

namespace Link {

FrameDeadline::FrameDeadline(int lineBytesPerSecond, QObject *parent)
    : QObject(parent)
    , m_bytesPerSecond(lineBytesPerSecond)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_frameStart = -1;
        Q_EMIT expired();
    });
}

void FrameDeadline::follow(const FrameDecoder &decoder)
{
    if (m_bytesPerSecond <= 0)
        return;
    const qsizetype size = decoder.pendingFrameSize();
    if (size == 0) {
        stop();
        return;
    }
    if (decoder.pendingFrameStart() != m_frameStart) {
        m_frameStart = decoder.pendingFrameStart();
        m_clock.start();
    }
    const qint64 allowed = 1000 + 2 * 1000 * qint64(size) / m_bytesPerSecond;
    m_timer.start(int(qMax<qint64>(0, allowed - m_clock.elapsed())));
}

void FrameDeadline::stop()
{
    m_timer.stop();
    m_frameStart = -1;
}

} // namespace Link
