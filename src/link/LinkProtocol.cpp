#include "LinkProtocol.h"

#include <QMessageAuthenticationCode>
#include <QStringDecoder>
#include <QtEndian>

namespace Link {

namespace {

// Reads big-endian fields from a payload and notices any shortfall.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_bytes(bytes)
    { }

    template<typename T>
    T number()
    {
        if (m_pos + qsizetype(sizeof(T)) > m_bytes.size()) {
            m_ok = false;
            return T(0);
        }
        const T value = qFromBigEndian<T>(m_bytes.constData() + m_pos);
        m_pos += qsizetype(sizeof(T));
        return value;
    }

    QByteArray bytes(qsizetype count)
    {
        if (m_pos + count > m_bytes.size()) {
            m_ok = false;
            return {};
        }
        const QByteArray piece = m_bytes.mid(m_pos, count);
        m_pos += count;
        return piece;
    }

    QByteArray rest() { return bytes(m_bytes.size() - m_pos); }
    // True when every read was satisfied and nothing is left over.
    bool complete() const { return m_ok && m_pos == m_bytes.size(); }

private:
    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

template<typename T>
void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToBigEndian(value, bytes);
    out.append(bytes, qsizetype(sizeof(T)));
}

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    // A leading U+FEFF is part of the name, not a byte-order mark to drop:
    // dropped, the file would be saved under another name than the one sent.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                               | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QString typeName(quint8 type)
{
    switch (type) {
    case Hello:
        return QStringLiteral("HELLO");
    case Challenge:
        return QStringLiteral("CHALLENGE");
    case Auth:
        return QStringLiteral("AUTH");
    case Welcome:
        return QStringLiteral("WELCOME");
    case Wait:
        return QStringLiteral("WAIT");
    case Put:
        return QStringLiteral("PUT");
    case Data:
        return QStringLiteral("DATA");
    case End:
        return QStringLiteral("END");
    case Saved:
        return QStringLiteral("SAVED");
    case Fetch:
        return QStringLiteral("FETCH");
    case File:
        return QStringLiteral("FILE");
    case Fetched:
        return QStringLiteral("FETCHED");
    case Bye:
        return QStringLiteral("BYE");
    case Error:
        return QStringLiteral("ERROR");
    }
    return QStringLiteral("0x%1").arg(type, 2, 16, QLatin1Char('0'));
}

QString describeError(ErrorCode code)
{
    const QString number = QString::number(quint16(code));
    const auto named = [&](const char *name) {
        return QStringLiteral("%1 (%2)").arg(number, QLatin1String(name));
    };
    switch (code) {
    case ErrorCode::BadFrame:
        return named("bad frame");
    case ErrorCode::Unexpected:
        return named("unexpected");
    case ErrorCode::BadVersion:
        return named("bad version");
    case ErrorCode::BadTerminal:
        return named("bad terminal");
    case ErrorCode::AuthFailed:
        return named("auth failed");
    case ErrorCode::BadName:
        return named("bad name");
    case ErrorCode::TooLarge:
        return named("too large");
    case ErrorCode::BadChecksum:
        return named("bad checksum");
    case ErrorCode::BadLength:
        return named("bad length");
    case ErrorCode::Timeout:
        return named("timeout");
    case ErrorCode::Busy:
        return named("busy");
    case ErrorCode::StationFailure:
        return named("station failure");
    case ErrorCode::Stopping:
        return named("stopping");
    }
    // A peer may send any code.
    return number;
}

QByteArray encodeHello(const HelloMessage &m)
{
    QByteArray out;
    put(out, m.version);
    put(out, m.terminal);
    return out;
}

QByteArray encodeWelcome(const WelcomeMessage &m)
{
    QByteArray out;
    put(out, m.version);
    put(out, m.maxFileSize);
    put(out, m.maxChunk);
    return out;
}

QByteArray encodeName(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    QByteArray out;
    put(out, quint16(utf8.size()));
    out.append(utf8);
    return out;
}

QByteArray encodeFileHeader(const FileHeader &m)
{
    QByteArray out;
    put(out, m.size);
    out.append(encodeName(m.name));
    return out;
}

QByteArray encodeU16(quint16 value)
{
    QByteArray out;
    put(out, value);
    return out;
}

QByteArray encodeU32(quint32 value)
{
    QByteArray out;
    put(out, value);
    return out;
}

QByteArray encodeError(const ErrorMessage &m)
{
    QByteArray out;
    put(out, quint16(m.code));
    QByteArray reason = m.reason.toUtf8();
    if (reason.size() > MaxReasonBytes) {
        // Cut at a character boundary so the reason stays valid UTF-8.
        qsizetype cut = MaxReasonBytes;
        while (cut > 0 && (uchar(reason.at(cut)) & 0xC0) == 0x80)
            --cut;
        reason.truncate(cut);
    }
    out.append(reason);
    return out;
}

std::optional<HelloMessage> decodeHello(const QByteArray &payload)
{
    Reader r(payload);
    HelloMessage m;
    m.version = r.number<quint16>();
    m.terminal = r.number<quint16>();
    if (!r.complete())
        return std::nullopt;
    return m;
}

std::optional<WelcomeMessage> decodeWelcome(const QByteArray &payload)
{
    Reader r(payload);
    WelcomeMessage m;
    m.version = r.number<quint16>();
    m.maxFileSize = r.number<quint64>();
    m.maxChunk = r.number<quint32>();
    if (!r.complete())
        return std::nullopt;
    return m;
}

std::optional<QString> decodeName(const QByteArray &payload)
{
    Reader r(payload);
    const quint16 length = r.number<quint16>();
    const QByteArray utf8 = r.bytes(length);
    if (!r.complete())
        return std::nullopt;
    return strictUtf8(utf8);
}

std::optional<FileHeader> decodeFileHeader(const QByteArray &payload)
{
    Reader r(payload);
    FileHeader m;
    m.size = r.number<quint64>();
    const quint16 length = r.number<quint16>();
    const QByteArray utf8 = r.bytes(length);
    if (!r.complete())
        return std::nullopt;
    const std::optional<QString> name = strictUtf8(utf8);
    if (!name)
        return std::nullopt;
    m.name = *name;
    return m;
}

std::optional<quint16> decodeU16(const QByteArray &payload)
{
    Reader r(payload);
    const quint16 value = r.number<quint16>();
    if (!r.complete())
        return std::nullopt;
    return value;
}

std::optional<quint32> decodeU32(const QByteArray &payload)
{
    Reader r(payload);
    const quint32 value = r.number<quint32>();
    if (!r.complete())
        return std::nullopt;
    return value;
}

std::optional<ErrorMessage> decodeError(const QByteArray &payload)
{
    Reader r(payload);
    ErrorMessage m;
    m.code = ErrorCode(r.number<quint16>());
    const QByteArray reason = r.rest();
    if (!r.complete() || reason.size() > MaxReasonBytes)
        return std::nullopt;
    m.reason = QString::fromUtf8(reason);
    return m;
}

bool isBareName(const QString &name, QString *why)
{
    QString problem;
    if (name.isEmpty())
        problem = QStringLiteral("empty name");
    else if (name.size() > MaxNameLength)
        problem = QStringLiteral("name longer than %1 characters").arg(MaxNameLength);
    else if (name.contains(u'/') || name.contains(u'\\'))
        problem = QStringLiteral("name contains a path separator");
    else if (name.contains(QStringLiteral("..")))
        problem = QStringLiteral("name contains \"..\"");
    else if (name.startsWith(u'.'))
        problem = QStringLiteral("name starts with \".\"");
    else {
        for (const QChar c : name) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control
                || c.category() == QChar::Other_Format || c == QChar::ReplacementCharacter) {
                problem = QStringLiteral("name contains a control character");
                break;
            }
        }
    }
    if (why)
        *why = problem;
    return problem.isEmpty();
}

QByteArray authAnswer(const QByteArray &key, const QByteArray &nonce, quint16 terminal)
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, key);
    mac.addData(nonce);
    mac.addData(encodeU16(terminal));
    return mac.result();
}

bool sameAnswer(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    uchar difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= uchar(a.at(i)) ^ uchar(b.at(i));
    return difference == 0;
}

} // namespace Link
