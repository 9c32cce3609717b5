#include "TerminalConnection.h"

#include "TlsPsk.h"
#include "TlsWire.h"
#include "link/LinkKey.h"
#include "link/LinkProtocol.h"

#include <QSslSocket>

namespace Tls {

TerminalConnection::TerminalConnection(int terminal, const QByteArray &linkKey, QObject *parent)
    : QObject(parent)
    , m_keyed(!linkKey.isEmpty())
{
    if (m_keyed) {
        auto *tls = new QSslSocket;
        m_socket.reset(tls);
        answerAsTerminal(tls, terminal, linkKey);
        m_wire = std::make_unique<TlsWire>(tls);
        connect(tls, &QSslSocket::encrypted, this, [this] {
            m_ready = true;
            Q_EMIT ready();
        });
    } else {
        m_socket = std::make_unique<QTcpSocket>();
        m_wire = std::make_unique<Link::Wire>(m_socket.get());
        connect(m_socket.get(), &QTcpSocket::connected, this, [this] {
            m_ready = true;
            Q_EMIT ready();
        });
    }
    connect(m_socket.get(), &QAbstractSocket::connected, this, [this] { m_connected = true; });
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this, [this] {
        if (m_ready) {
            // Past the handshake a failed record leaves TLS unable to go on
            // with the socket still open; closing it ends the session.
            if (m_socket->error() != QAbstractSocket::RemoteHostClosedError)
                m_socket->abort();
            return;
        }
        m_ready = true; // one failure is reported, not each error after it
        Q_EMIT failed(m_keyed && m_connected
                          ? QStringLiteral("the TLS handshake with the station failed (%1): it "
                                           "does not have this link key, or speaks no TLS")
                                .arg(m_socket->errorString())
                          : m_socket->errorString());
    });
}

TerminalConnection::~TerminalConnection()
{
    // The wire watches the socket; it goes first.
    m_wire.reset();
}

void TerminalConnection::open(const QString &host, quint16 port)
{
    if (m_keyed)
        static_cast<QSslSocket *>(m_socket.get())->connectToHostEncrypted(host, port);
    else
        m_socket->connectToHost(host, port);
}

quint16 TerminalConnection::version() const
{
    return m_keyed ? Link::TunnelVersion : Link::Version;
}

} // namespace Tls
