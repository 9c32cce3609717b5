#include "DrainDeadline.h"

#include <QIODevice>

namespace Link {

DrainDeadline::DrainDeadline(QIODevice *device, int deadlineMs, QObject *parent)
    : QObject(parent)
    , m_device(device)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(deadlineMs);
    connect(&m_timer, &QTimer::timeout, this, &DrainDeadline::expired);
    connect(device, &QIODevice::bytesWritten, this, &DrainDeadline::onBytesWritten);
}

void DrainDeadline::arm()
{
    if (m_timer.isActive() || !m_device || m_device->bytesToWrite() <= 0)
        return;
    m_mark = m_taken + m_device->bytesToWrite();
    m_timer.start();
}

void DrainDeadline::onBytesWritten(qint64 bytes)
{
    m_taken += bytes;
    if (m_timer.isActive() && m_taken >= m_mark)
        m_timer.stop();
    arm();
}

} // namespace Link
