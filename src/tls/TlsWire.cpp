#include "TlsWire.h"

#include <QSslSocket>

namespace Tls {

TlsWire::TlsWire(QSslSocket *socket, QObject *parent)
    : Wire(socket, CountedElsewhere {}, parent)
    , m_socket(socket)
{
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &Wire::taken);
}

qint64 TlsWire::queued() const
{
    return m_device ? m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() : 0;
}

} // namespace Tls
