#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The messages of the terminal link, their payloads and the rules both ends
// share. docs/terminal-link.md is the reference a terminal is built from;
// keep the two in step.
namespace Link {

inline constexpr quint16 Version = 1;
inline constexpr int MinTerminal = 1;
inline constexpr int MaxTerminal = 9999;
inline constexpr qint64 DefaultMaxFileSize = qint64(256) * 1024 * 1024;
inline constexpr int MaxNameLength = 64; // characters
inline constexpr int NonceSize = 32;
inline constexpr int MacSize = 32; // HMAC-SHA256
inline constexpr int MaxReasonBytes = 1024;

enum Type : quint8 {
    Hello = 0x01, // terminal: version u16, terminal u16
    Challenge = 0x02, // station: nonce[32]
    Auth = 0x03, // terminal: HMAC-SHA256(key, nonce | terminal u16)
    Welcome = 0x04, // station: version u16, max file size u64, max chunk u32
    Wait = 0x05, // station: nothing; "still there, your turn is coming"
    Put = 0x10, // terminal: size u64, name length u16, name (UTF-8)
    Data = 0x11, // either: 1 to 65536 bytes of the file
    End = 0x12, // either: CRC-32 u32 of the whole file
    Saved = 0x13, // station: name length u16, name
    Fetch = 0x20, // terminal: nothing
    File = 0x21, // station: size u64, name length u16, name
    Fetched = 0x22, // station: number of files sent u16
    Bye = 0x30, // either: nothing
    Error = 0x7F, // either: code u16, reason (UTF-8, at most 1024 bytes)
};

// The steps of a transfer the station reports (TransferStatus of the control),
// with the numbers the control's event carries.
enum class TransferKind : qint16 {
    Sending = 0,
    Receiving = 1,
    Saving = 2,
    Saved = 3,
    SaveFailed = 4,
    UnpackingLog = 5, // a terminal's log file being unpacked; the link never sends one
};

enum class ErrorCode : quint16 {
    BadFrame = 1,
    Unexpected = 2,
    BadVersion = 3,
    BadTerminal = 4,
    AuthFailed = 5,
    BadName = 6,
    TooLarge = 7,
    BadChecksum = 8,
    BadLength = 9,
    Timeout = 10,
    Busy = 11,
    StationFailure = 12,
    Stopping = 13,
};

QString typeName(quint8 type);
// A code as the log and the operator read it, "12 (station failure)", with
// the names of docs/terminal-link.md; a code the protocol has not is its number.
QString describeError(ErrorCode code);

struct HelloMessage
{
    quint16 version = Version;
    quint16 terminal = 0;
};
struct WelcomeMessage
{
    quint16 version = Version;
    quint64 maxFileSize = 0;
    quint32 maxChunk = 0;
};
// Put (terminal to station) and File (station to terminal) share this payload.
struct FileHeader
{
    quint64 size = 0;
    QString name;
};
struct ErrorMessage
{
    ErrorCode code = ErrorCode::Unexpected;
    QString reason;
};

QByteArray encodeHello(const HelloMessage &m);
QByteArray encodeWelcome(const WelcomeMessage &m);
QByteArray encodeFileHeader(const FileHeader &m);
QByteArray encodeName(const QString &name);
QByteArray encodeU16(quint16 value);
QByteArray encodeU32(quint32 value);
QByteArray encodeError(const ErrorMessage &m);

// Each gives nothing when the payload is not exactly what the message holds.
std::optional<HelloMessage> decodeHello(const QByteArray &payload);
std::optional<WelcomeMessage> decodeWelcome(const QByteArray &payload);
std::optional<FileHeader> decodeFileHeader(const QByteArray &payload);
std::optional<QString> decodeName(const QByteArray &payload);
std::optional<quint16> decodeU16(const QByteArray &payload);
std::optional<quint32> decodeU32(const QByteArray &payload);
std::optional<ErrorMessage> decodeError(const QByteArray &payload);

// Whether name may be used as a file name in a folder of ours: a bare name
// (no "/", "\", "..", control characters, no leading "."), 1 to 64
// characters. why says what is wrong with it.
bool isBareName(const QString &name, QString *why = nullptr);

// The terminal's answer to a challenge: HMAC-SHA256 over the nonce followed
// by the terminal number (u16, big-endian), keyed with the link key.
QByteArray authAnswer(const QByteArray &key, const QByteArray &nonce, quint16 terminal);
// Compares two answers in time that does not depend on where they differ.
bool sameAnswer(const QByteArray &a, const QByteArray &b);

} // namespace Link
