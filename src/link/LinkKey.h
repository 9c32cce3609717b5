#pragma once

#include <QByteArray>

#include <optional>

// The link key as both ends of a TLS session use it (docs/terminal-link.md,
// "The link key"): the pre-shared key and the identity that names it are
// derived from the key text, so a terminal needs the text alone.
namespace Link {

// The protocol spoken inside TLS; plain frames speak Version (1).
inline constexpr quint16 TunnelVersion = 2;
inline constexpr int PresharedKeySize = 32;
inline constexpr int KeyIdLength = 8;

// A new key as the station makes one: 160 random bits from the system's
// generator as 32 base32 characters in groups of four, "ABCD-EFGH-…".
QByteArray generateKey();

// The text a key is derived from. A key of 32 base32 characters, typed in
// either case, with or without its dashes and spaces, is taken in upper
// case without them, so a terminal's operator may type it as it is read
// out; any other key (a hand-set one) is taken exactly as written.
QByteArray canonicalKey(const QByteArray &key);

// HKDF with SHA-256 (RFC 5869): extract with salt, expand with info to
// length bytes (at most 255 × 32).
QByteArray hkdfSha256(const QByteArray &inputKey,
                      const QByteArray &salt,
                      const QByteArray &info,
                      int length);

// The TLS pre-shared key: 32 bytes of HKDF-SHA256 over the canonical key.
QByteArray presharedKey(const QByteArray &key);
// A name for the key that gives nothing of it away: 8 base32 characters.
QByteArray keyId(const QByteArray &key);

// The PSK identity a terminal sends: its number in decimal, ":", the key's
// ID ("3:K7QF2XAB"). The station finds the key by its ID, so an older key
// can stay valid beside a new one while terminals are moved over.
QByteArray pskIdentity(int terminal, const QByteArray &key);
struct PskIdentity
{
    int terminal = 0;
    QByteArray keyId;
};
// Nothing when identity is not of that form.
std::optional<PskIdentity> parsePskIdentity(const QByteArray &identity);

} // namespace Link
