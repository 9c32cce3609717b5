#include "Cp932.h"

namespace Cp932 {

namespace {

// ICU's name of the table; "Shift_JIS" lacks the NEC and IBM extensions.
constexpr const char *TableName = "windows-31j";

bool isLead(uchar byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool isTrail(uchar byte)
{
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// The single bytes Windows maps otherwise than ICU's table; 0 when the table
// is right.
char16_t windowsSingle(uchar byte)
{
    switch (byte) {
    case 0x1A:
    case 0x1C:
    case 0x7F:
    case 0x80:
        return byte;
    case 0xA0:
        return 0xF8F0;
    case 0xFD:
    case 0xFE:
    case 0xFF:
        return char16_t(0xF8F1 + (byte - 0xFD));
    default:
        return 0;
    }
}

// The reverse: the byte Windows writes for a character ICU's table encodes
// otherwise or not at all; -1 when the table is right. U+F86F is refused
// (0): ICU writes a byte pair for it that Windows does not.
int windowsByte(char16_t c)
{
    switch (c) {
    case 0x1A:
    case 0x1C:
    case 0x7F:
    case 0x80:
        return c;
    case 0xF8F0:
        return 0xA0;
    case 0xF8F1:
    case 0xF8F2:
    case 0xF8F3:
        return 0xFD + (c - 0xF8F1);
    case 0xF86F:
        return 0;
    default:
        return -1;
    }
}

} // namespace

Decoder::Decoder()
    : m_table(TableName, QStringDecoder::Flag::Stateless)
{ }

QString Decoder::decode(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size() + 1);
    if (m_hasLead && !bytes.isEmpty()) {
        m_hasLead = false;
        const char pair[2] = { m_lead, bytes.front() };
        if (isTrail(uchar(pair[1]))) {
            decodeTo(&out, QByteArrayView(pair, 2));
            bytes = bytes.sliced(1);
        } else {
            out.append(QChar::ReplacementCharacter);
        }
    }
    decodeTo(&out, bytes);
    return out;
}

QString Decoder::finish()
{
    if (!m_hasLead)
        return QString();
    m_hasLead = false;
    return QString(QChar::ReplacementCharacter);
}

// Hands runs of bytes that the table reads as Windows does to the table
// whole, each run ending on a character boundary, and maps the rest here.
void Decoder::decodeTo(QString *out, QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    qsizetype runStart = 0;
    const auto endRun = [&](qsizetype at) {
        if (at > runStart)
            out->append(m_table.decode(bytes.sliced(runStart, at - runStart)));
    };
    qsizetype i = 0;
    while (i < size) {
        const uchar byte = uchar(bytes[i]);
        if (isLead(byte)) {
            if (i + 1 == size) {
                endRun(i);
                m_lead = char(byte);
                m_hasLead = true;
                return;
            }
            if (isTrail(uchar(bytes[i + 1]))) {
                i += 2;
                continue;
            }
            // A lead byte without its trail: the next byte is read anew, so a
            // line ending after it still ends the line.
            endRun(i);
            out->append(QChar::ReplacementCharacter);
            runStart = ++i;
            continue;
        }
        if (const char16_t c = windowsSingle(byte)) {
            endRun(i);
            out->append(QChar(c));
            runStart = ++i;
            continue;
        }
        ++i;
    }
    endRun(size);
}

Encoder::Encoder()
    : m_table(TableName, QStringEncoder::Flag::Stateless)
{ }

void Encoder::encodeTo(QByteArray *out, QStringView text)
{
    const qsizetype size = text.size();
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const int byte = windowsByte(text[i].unicode());
        if (byte < 0)
            continue;
        if (i > runStart)
            out->append(m_table.encode(text.sliced(runStart, i - runStart)));
        if (byte == 0)
            m_failed = true;
        else
            out->append(char(byte));
        runStart = i + 1;
    }
    if (size > runStart)
        out->append(m_table.encode(text.sliced(runStart)));
}

QString decode(QByteArrayView bytes)
{
    Decoder decoder;
    QString text = decoder.decode(bytes);
    text += decoder.finish();
    return text;
}

QByteArray encode(QStringView text, bool *ok)
{
    Encoder encoder;
    QByteArray out;
    out.reserve(text.size() * 2);
    encoder.encodeTo(&out, text);
    if (ok)
        *ok = !encoder.hasError();
    return out;
}

} // namespace Cp932
