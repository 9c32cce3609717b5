#include "LinkKey.h"

#include "LinkProtocol.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>

namespace Link {

namespace {

constexpr char Base32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr int GeneratedKeyLength = 32; // characters, 5 bits each
constexpr int GroupLength = 4;

// RFC 4648 base32 without padding; Qt has base64 and hex only.
QByteArray base32(const QByteArray &bytes)
{
    QByteArray text;
    quint32 buffer = 0;
    int bits = 0;
    for (const char byte : bytes) {
        buffer = (buffer << 8) | quint8(byte);
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            text.append(Base32Alphabet[(buffer >> bits) & 31]);
        }
    }
    if (bits > 0)
        text.append(Base32Alphabet[(buffer << (5 - bits)) & 31]);
    return text;
}

bool isBase32(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7');
}

} // namespace

QByteArray generateKey()
{
    QByteArray random(GeneratedKeyLength * 5 / 8, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                          random.size() / int(sizeof(quint32)));
    const QByteArray text = base32(random);
    QByteArray grouped;
    for (int at = 0; at < text.size(); at += GroupLength) {
        if (at > 0)
            grouped.append('-');
        grouped.append(text.mid(at, GroupLength));
    }
    return grouped;
}

QByteArray canonicalKey(const QByteArray &key)
{
    QByteArray compact;
    for (const char c : key) {
        if (c == '-' || c == ' ')
            continue;
        const char upper = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
        if (!isBase32(upper))
            return key;
        compact.append(upper);
    }
    return compact.size() == GeneratedKeyLength ? compact : key;
}

QByteArray hkdfSha256(const QByteArray &inputKey,
                      const QByteArray &salt,
                      const QByteArray &info,
                      int length)
{
    constexpr auto Sha256 = QCryptographicHash::Sha256;
    const QByteArray prk = QMessageAuthenticationCode::hash(inputKey, salt, Sha256);
    QByteArray output;
    QByteArray block;
    for (int counter = 1; output.size() < length && counter <= 255; ++counter) {
        block = QMessageAuthenticationCode::hash(block + info + char(counter), prk, Sha256);
        output.append(block);
    }
    output.truncate(length);
    return output;
}

QByteArray presharedKey(const QByteArray &key)
{
    return hkdfSha256(canonicalKey(key), {}, "tarvinex terminal link 2 psk", PresharedKeySize);
}

QByteArray keyId(const QByteArray &key)
{
    return base32(hkdfSha256(canonicalKey(key), {}, "tarvinex terminal link 2 key id", 5));
}

QByteArray pskIdentity(int terminal, const QByteArray &key)
{
    return QByteArray::number(terminal) + ':' + keyId(key);
}

std::optional<PskIdentity> parsePskIdentity(const QByteArray &identity)
{
    const qsizetype colon = identity.indexOf(':');
    if (colon < 1 || colon > 4)
        return std::nullopt;
    const QByteArray digits = identity.left(colon);
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    const int terminal = digits.toInt();
    if (digits.startsWith('0') || terminal < MinTerminal || terminal > MaxTerminal)
        return std::nullopt;
    const QByteArray id = identity.mid(colon + 1);
    if (id.size() != KeyIdLength || !std::all_of(id.begin(), id.end(), isBase32))
        return std::nullopt;
    return PskIdentity { terminal, id };
}

} // namespace Link
