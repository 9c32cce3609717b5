#include "TlsPsk.h"

#include "link/LinkKey.h"

#include <QSslCipher>
#include <QSslPreSharedKeyAuthenticator>
#include <QSslSocket>

namespace Tls {

bool available(QString *why)
{
    if (!QSslSocket::supportsSsl()) {
        *why = QStringLiteral("TLS is not available (OpenSSL not found: %1)")
                   .arg(QSslSocket::sslLibraryVersionString());
        return false;
    }
    if (QSslCipher(QLatin1String(CipherSuite)).isNull()) {
        *why = QStringLiteral("this system's TLS (%1) lacks the cipher suite %2")
                   .arg(QSslSocket::sslLibraryVersionString(), QLatin1String(CipherSuite));
        return false;
    }
    return true;
}

QSslConfiguration configuration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    // TLS 1.3's pre-shared keys are not wired up by this Qt; 1.2 with
    // ECDHE-PSK gives forward secrecy all the same.
    config.setProtocol(QSsl::TlsV1_2);
    config.setCiphers({ QSslCipher(QLatin1String(CipherSuite)) });
    // The key proves both ends; there are no certificates to check.
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setSslOption(QSsl::SslOptionDisableSessionTickets, true);
    config.setSslOption(QSsl::SslOptionDisableCompression, true);
    return config;
}

void answerAsTerminal(QSslSocket *socket, int terminal, const QByteArray &linkKey)
{
    socket->setSslConfiguration(configuration());
    const QByteArray identity = Link::pskIdentity(terminal, linkKey);
    const QByteArray key = Link::presharedKey(linkKey);
    QObject::connect(socket,
                     &QSslSocket::preSharedKeyAuthenticationRequired,
                     socket,
                     [identity, key](QSslPreSharedKeyAuthenticator *authenticator) {
                         authenticator->setIdentity(identity);
                         authenticator->setPreSharedKey(key);
                     });
}

void answerAsStation(QSslSocket *socket, const KeyFinder &presharedKey)
{
    socket->setSslConfiguration(configuration());
    QObject::connect(socket,
                     &QSslSocket::preSharedKeyAuthenticationRequired,
                     socket,
                     [presharedKey](QSslPreSharedKeyAuthenticator *authenticator) {
                         const QByteArray key = presharedKey(authenticator->identity());
                         if (!key.isEmpty())
                             authenticator->setPreSharedKey(key);
                     });
}

} // namespace Tls
