#pragma once

#include "tls/TlsPsk.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>

class QSslSocket;
class QTcpServer;

// Takes terminals' TCP connections and tells the two protocols apart by
// their first byte: a TLS handshake (version 2, with the link key) or plain
// frames (version 1). A TLS connection is handed on only once its handshake
// has proven the key, so a peer without it never gets a waiting place. What
// a peer may hold before that is bounded: a deadline for the first bytes
// and the handshake, and a number of such connections at once, overall and
// per address.
class LinkListener : public QObject
{
    Q_OBJECT

public:
    struct Config
    {
        QList<QHostAddress> addresses;
        quint16 port = 0; // 0 lets the system pick a free port (tests)
        // The pre-shared key an identity names; none when the station has no
        // key (then TLS is refused) or the identity is unknown.
        Tls::KeyFinder presharedKey;
        int handshakeDeadlineMs = 10000;
        int maxHandshakes = 32;
        int maxHandshakesPerAddress = 3;
    };

    explicit LinkListener(const Config &config, QObject *parent = nullptr);
    ~LinkListener() override;

    bool listen(QString *error);
    // Whether the last listen failed because something else holds the port.
    bool portInUse() const { return m_portInUse; }
    void close();
    bool isListening() const;
    // The port listened on (the one asked, or the one the system picked).
    quint16 serverPort() const;

Q_SIGNALS:
    // A connection that speaks plain frames; the socket is the receiver's.
    void plainConnection(QSslSocket *socket);
    // A connection whose TLS handshake has proven the key of the identity
    // naming terminal; the socket is the receiver's.
    void tlsConnection(QSslSocket *socket, int terminal);
    // What the station log should keep: refused and failed handshakes.
    void note(const QString &text);

private:
    void onNewConnection(QTcpServer *server);
    void onFirstBytes(QSslSocket *socket);
    void startTls(QSslSocket *socket);
    void handOver(QSslSocket *socket);
    // Drops a connection that has not been handed on, and says why; the
    // same address is named at most once a minute.
    void drop(QSslSocket *socket, const QString &why);
    void noteFor(const QHostAddress &address, const QString &text);

    Config m_config;
    QList<QTcpServer *> m_servers;
    bool m_portInUse = false;
    // Connections not yet handed on, by peer address.
    QHash<QSslSocket *, QHostAddress> m_pending;
    QHash<QString, int> m_pendingPerAddress;
    struct Told
    {
        qint64 atMs = 0;
        int unsaid = 0;
    };
    QHash<QString, Told> m_told;
    QElapsedTimer m_clock;
};
