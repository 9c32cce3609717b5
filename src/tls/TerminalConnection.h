#pragma once

#include "link/Wire.h"

#include <QObject>

#include <memory>

class QTcpSocket;

namespace Tls {

// A terminal's connection to its station over TCP: with a link key, TLS
// proven both ways by the key, inside which the protocol speaks version 2;
// without one, plain frames of version 1. A terminal given a key never falls
// back to plain frames: a station that cannot complete the handshake with
// that key is not its station.
class TerminalConnection : public QObject
{
    Q_OBJECT

public:
    TerminalConnection(int terminal, const QByteArray &linkKey, QObject *parent = nullptr);
    ~TerminalConnection() override;

    void open(const QString &host, quint16 port);

    // The device a Link::TerminalClient speaks over, and its wire.
    QTcpSocket *socket() const { return m_socket.get(); }
    Link::Wire *wire() const { return m_wire.get(); }
    // The protocol version to speak over it.
    quint16 version() const;

Q_SIGNALS:
    // Connected, and with a key the handshake done: the session may begin.
    void ready();
    // The connection or the handshake failed before that.
    void failed(const QString &reason);

private:
    bool m_keyed;
    bool m_connected = false;
    bool m_ready = false;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<Link::Wire> m_wire;
};

} // namespace Tls
