#pragma once

#include <QObject>
#include <QPointer>

class QIODevice;

namespace Link {

// How far what was written to a device has got towards the peer. A socket or
// a serial line counts for itself; a TLS socket hands what it is given on
// at once as encrypted records it keeps below the device, which a wire of
// its own must count (tls/TlsWire). Deadlines and back-pressure read the
// wire, so a peer that takes nothing is seen as such over TLS too.
class Wire : public QObject
{
    Q_OBJECT

public:
    // Counts the device's own queue.
    explicit Wire(QIODevice *device, QObject *parent = nullptr);

    // Bytes written but not yet taken by the connection.
    virtual qint64 queued() const;

Q_SIGNALS:
    // The connection has taken this many more bytes.
    void taken(qint64 bytes);

protected:
    // For a wire that counts what the device has taken itself.
    struct CountedElsewhere
    {
    };
    Wire(QIODevice *device, CountedElsewhere, QObject *parent);

    QPointer<QIODevice> m_device;
};

} // namespace Link
