#include "DrainDeadline.h"

#include "Wire.h"

namespace Link {

DrainDeadline::DrainDeadline(Wire *wire, int deadlineMs, QObject *parent)
    : QObject(parent)
    , m_wire(wire)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(deadlineMs);
    connect(&m_timer, &QTimer::timeout, this, &DrainDeadline::expired);
    connect(wire, &Wire::taken, this, &DrainDeadline::onTaken);
}

void DrainDeadline::arm()
{
    if (m_timer.isActive() || !m_wire || m_wire->queued() <= 0)
        return;
    m_mark = m_taken + m_wire->queued();
    m_timer.start();
}

void DrainDeadline::onTaken(qint64 bytes)
{
    m_taken += bytes;
    if (m_timer.isActive() && m_taken >= m_mark)
        m_timer.stop();
    arm();
}

} // namespace Link
