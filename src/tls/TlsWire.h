#pragma once

#include "link/Wire.h"

class QSslSocket;

namespace Tls {

// What a TLS socket has still to send: the plain bytes it has not yet
// encrypted and the encrypted records its connection has not yet taken. A
// TLS socket reports plain bytes written as soon as they are encrypted, so
// only the records' progress says the peer is taking them.
class TlsWire : public Link::Wire
{
    Q_OBJECT

public:
    explicit TlsWire(QSslSocket *socket, QObject *parent = nullptr);

    qint64 queued() const override;

private:
    QSslSocket *m_socket;
};

} // namespace Tls
