#pragma once

#include <QHostAddress>
#include <QTcpSocket>

// Whether something takes a connection on the loopback port: a station that
// says it listens must be reachable, and one that stopped must not be.
inline bool connects(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(2000);
    socket.abort();
    return ok;
}
