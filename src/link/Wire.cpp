#include "Wire.h"

#include <QIODevice>

namespace Link {

Wire::Wire(QIODevice *device, QObject *parent)
    : QObject(parent)
    , m_device(device)
{
    connect(device, &QIODevice::bytesWritten, this, &Wire::taken);
}

Wire::Wire(QIODevice *device, CountedElsewhere, QObject *parent)
    : QObject(parent)
    , m_device(device)
{ }

qint64 Wire::queued() const
{
    return m_device ? m_device->bytesToWrite() : 0;
}

} // namespace Link
