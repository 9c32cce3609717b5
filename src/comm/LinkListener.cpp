#include "LinkListener.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace {

// The first byte of a TLS record carrying a handshake message.
constexpr char TlsHandshakeRecord = 0x16;
// A peer is named in the log at most this often; refusals in between are
// counted into the next line, so a storm of connections cannot fill the disk.
constexpr qint64 NoteEveryMs = 60000;

// A TCP server whose connections are TLS sockets, still plain until told to
// start the handshake, so the first bytes can be looked at before.
class TlsReadyServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

QString peerName(const QSslSocket *socket)
{
    return socket->peerAddress().toString() + u':' + QString::number(socket->peerPort());
}

} // namespace

LinkListener::LinkListener(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    m_clock.start();
}

LinkListener::~LinkListener()
{
    close();
}

bool LinkListener::listen(QString *error)
{
    close();
    m_portInUse = false;
    quint16 port = m_config.port;
    for (const QHostAddress &address : std::as_const(m_config.addresses)) {
        auto *server = new TlsReadyServer(this);
        // Every address listens on one port: the one the first was given
        // when the system picks it.
        if (!server->listen(address, port)) {
            // A machine without IPv6 has no ::1; the other addresses serve.
            if (server->serverError() == QAbstractSocket::SocketAddressNotAvailableError
                && m_config.addresses.size() > 1) {
                delete server;
                continue;
            }
            *error = QStringLiteral("%1 port %2: %3")
                         .arg(address.toString())
                         .arg(port)
                         .arg(server->errorString());
            m_portInUse = server->serverError() == QAbstractSocket::AddressInUseError;
            delete server;
            close();
            return false;
        }
        port = server->serverPort();
        connect(
            server, &QTcpServer::newConnection, this, [this, server] { onNewConnection(server); });
        m_servers.append(server);
    }
    if (m_servers.isEmpty())
        *error = QStringLiteral("no address to listen on is available");
    return !m_servers.isEmpty();
}

void LinkListener::close()
{
    qDeleteAll(m_servers);
    m_servers.clear();
    const QList<QSslSocket *> pending = m_pending.keys();
    for (QSslSocket *socket : pending) {
        socket->abort();
        socket->deleteLater();
    }
    m_pending.clear();
    m_pendingPerAddress.clear();
}

bool LinkListener::isListening() const
{
    return !m_servers.isEmpty();
}

quint16 LinkListener::serverPort() const
{
    return m_servers.isEmpty() ? quint16(0) : m_servers.first()->serverPort();
}

void LinkListener::onNewConnection(QTcpServer *server)
{
    while (QTcpSocket *next = server->nextPendingConnection()) {
        auto *socket = static_cast<QSslSocket *>(next);
        socket->setParent(this);
        const QHostAddress address = socket->peerAddress();
        const QString key = address.toString();
        if (m_pending.size() >= m_config.maxHandshakes
            || m_pendingPerAddress.value(key) >= m_config.maxHandshakesPerAddress) {
            noteFor(
                address,
                QStringLiteral("接続拒否 %1: 鍵の確認中の接続が多すぎます").arg(peerName(socket)));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_pending.insert(socket, address);
        ++m_pendingPerAddress[key];
        connect(socket, &QSslSocket::readyRead, this, [this, socket] {
            if (socket->mode() == QSslSocket::UnencryptedMode)
                onFirstBytes(socket);
        });
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            const int terminal = socket->property("terminal").toInt();
            handOver(socket);
            Q_EMIT tlsConnection(socket, terminal);
        });
        connect(socket, &QSslSocket::errorOccurred, this, [this, socket] {
            drop(socket, socket->errorString());
        });
        connect(socket, &QSslSocket::disconnected, this, [this, socket] {
            drop(socket, QStringLiteral("the peer hung up"));
        });
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, socket] {
            drop(socket,
                 QStringLiteral("no handshake within %1 ms").arg(m_config.handshakeDeadlineMs));
        });
        deadline->start(m_config.handshakeDeadlineMs);
    }
}

void LinkListener::onFirstBytes(QSslSocket *socket)
{
    char first = 0;
    if (socket->peek(&first, 1) != 1)
        return;
    if (first != TlsHandshakeRecord) {
        // Plain frames (or rubbish, which the session refuses as a bad
        // frame, telling the peer so in words it can read).
        handOver(socket);
        Q_EMIT plainConnection(socket);
        return;
    }
    if (!m_config.presharedKey) {
        drop(socket, QStringLiteral("TLS asked of a station without a link key"));
        return;
    }
    startTls(socket);
}

void LinkListener::startTls(QSslSocket *socket)
{
    const Tls::KeyFinder find = m_config.presharedKey;
    Tls::answerAsStation(socket, [socket, find](const QByteArray &identity) {
        const QByteArray key = find(identity);
        if (!key.isEmpty())
            socket->setProperty("terminal", identity.left(identity.indexOf(':')).toInt());
        return key;
    });
    // The handshake reads the bytes looked at, still waiting in the socket.
    socket->startServerEncryption();
}

void LinkListener::handOver(QSslSocket *socket)
{
    const QHostAddress address = m_pending.take(socket);
    if (int &count = m_pendingPerAddress[address.toString()]; --count <= 0)
        m_pendingPerAddress.remove(address.toString());
    socket->disconnect(this);
    delete socket->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    socket->setParent(nullptr);
}

void LinkListener::drop(QSslSocket *socket, const QString &why)
{
    if (!m_pending.contains(socket))
        return;
    const bool tls = socket->mode() != QSslSocket::UnencryptedMode;
    const QString peer = peerName(socket);
    const QHostAddress address = m_pending.value(socket);
    handOver(socket);
    socket->abort();
    socket->deleteLater();
    noteFor(address,
            tls ? QStringLiteral("TLS ハンドシェイク失敗 %1: %2").arg(peer, why)
                : QStringLiteral("接続終了 %1: %2").arg(peer, why));
}

void LinkListener::noteFor(const QHostAddress &address, const QString &text)
{
    const qint64 now = m_clock.elapsed();
    // Peers of many addresses cannot grow what is remembered of them.
    if (m_told.size() > 4096) {
        m_told.removeIf(
            [now](const auto &entry) { return now - entry.value().atMs >= NoteEveryMs; });
        if (m_told.size() > 4096)
            m_told.clear();
    }
    Told &told = m_told[address.toString()];
    if (told.atMs != 0 && now - told.atMs < NoteEveryMs) {
        ++told.unsaid;
        return;
    }
    const QString more
        = told.unsaid > 0 ? QStringLiteral("（ほかに %1 件）").arg(told.unsaid) : QString();
    told = { qMax<qint64>(now, 1), 0 };
    Q_EMIT note(text + more);
}
