#pragma once

#include <QByteArray>
#include <QSslConfiguration>

#include <functional>

class QSslSocket;

// TLS as the terminal link runs it: TLS 1.2 with one cipher suite, ECDHE with
// a pre-shared key (forward secrecy, an AEAD), no certificates. The key and
// the identity naming it come from link/LinkKey.
namespace Tls {

inline constexpr char CipherSuite[] = "ECDHE-PSK-CHACHA20-POLY1305";

// Whether this system's TLS can run the link; why not, for the operator.
bool available(QString *why);

// The configuration both ends use.
QSslConfiguration configuration();

// The terminal's side: the socket answers the station with the terminal's
// identity and the key derived from the link key.
void answerAsTerminal(QSslSocket *socket, int terminal, const QByteArray &linkKey);

// The station's side: presharedKey gives the key an identity names, or
// nothing for an identity the station does not know (the handshake fails).
using KeyFinder = std::function<QByteArray(const QByteArray &identity)>;
void answerAsStation(QSslSocket *socket, const KeyFinder &presharedKey);

} // namespace Tls
