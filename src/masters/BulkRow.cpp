#include "BulkRow.h"

#include "MasterDefinitions.h"
#include "base/FixedWidth.h"

namespace Bulk {

void Row::append(QByteArrayView utf8)
{
    m_bytes.append(utf8);
    m_ends.append(m_bytes.size());
}

void Row::appendConverted(QStringView text, bool commaToPeriod)
{
    char *const begin = m_bytes.room(m_utf8.requiredSpace(text.size()));
    char *const end = m_utf8.appendToBuffer(begin, text);
    if (commaToPeriod)
        CommaToPeriod(begin, end - begin);
    m_bytes.setEnd(end);
    m_ends.append(m_bytes.size());
}

void Row::appendField(const Masters::Field &field, const QString &line)
{
    const QStringView text = FixedWidth::cut(line, field.start, field.width);
    switch (field.take) {
    case Masters::Take::AsCut:
        appendConverted(text, false);
        return;
    case Masters::Take::Trimmed:
        appendConverted(FixedWidth::trim(text), false);
        return;
    case Masters::Take::Name:
        appendConverted(FixedWidth::trim(text), true);
        return;
    }
}

void Row::appendFields(const QList<Masters::Field> &fields, const QString &line)
{
    for (const Masters::Field &field : fields)
        appendField(field, line);
}

void CommaToPeriod(char *utf8, qsizetype size)
{
    // "," is the byte 0x2C and "，" (U+FF0C) EF BC 8C, neither of which can
    // occur inside another character.
    char *const end = utf8 + size;
    for (char *p = utf8; p < end; ++p) {
        if (*p == ',')
            *p = '.';
        else if (p + 2 < end && p[0] == '\xEF' && p[1] == '\xBC' && p[2] == '\x8C')
            p[2] = '\x8E';
    }
}

QByteArrayView trimmed(QByteArrayView utf8)
{
    // U+3000 is E3 80 80 in UTF-8; no other character ends in those bytes'
    // pattern at a character boundary, so trimming bytes is trimming text.
    const char *begin = utf8.data();
    const char *end = begin + utf8.size();
    for (;;) {
        if (begin < end && *begin == ' ') {
            ++begin;
        } else if (end - begin >= 3 && begin[0] == '\xE3' && begin[1] == '\x80'
                   && begin[2] == '\x80') {
            begin += 3;
        } else {
            break;
        }
    }
    for (;;) {
        if (end > begin && end[-1] == ' ') {
            --end;
        } else if (end - begin >= 3 && end[-3] == '\xE3' && end[-2] == '\x80'
                   && end[-1] == '\x80') {
            end -= 3;
        } else {
            break;
        }
    }
    return QByteArrayView(begin, end - begin);
}

} // namespace Bulk
