#include "LingeringClose.h"

#include <QSslSocket>
#include <QTimer>

#include <sys/socket.h>

namespace Comm {

void closeAfterLastAnswer(QTcpSocket *socket, int graceMs, bool linger)
{
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(graceMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    const auto *tls = qobject_cast<QSslSocket *>(socket);
    if (!linger || socket->state() != QAbstractSocket::ConnectedState
        || (tls && tls->mode() != QSslSocket::UnencryptedMode)) {
        socket->disconnectFromHost();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
        return;
    }
    const auto dropInput = [socket] {
        socket->skip(socket->bytesAvailable());
    };
    // Qt closes a socket only whole; shutdown() is the system's half-close.
    const auto closeForWriting = [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QIODevice::readyRead, socket, dropInput);
    QObject::connect(socket, &QIODevice::bytesWritten, socket, closeForWriting);
    dropInput();
    closeForWriting();
}

} // namespace Comm
