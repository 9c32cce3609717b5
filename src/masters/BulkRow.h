#pragma once

#include "base/ByteBuffer.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringConverter>
#include <QStringView>
#include <QVarLengthArray>

namespace Masters {
struct Field;
}

// One row of values on its way to a database's native interface: every value
// UTF-8, one after another in one buffer that is reused from row to row, so a
// row costs no allocation once the buffer has grown to a line's size.
namespace Bulk {

class Row
{
public:
    void clear()
    {
        m_bytes.clear();
        m_ends.clear();
    }
    qsizetype size() const { return m_ends.size(); }
    QByteArrayView value(qsizetype i) const
    {
        const qsizetype begin = i == 0 ? 0 : m_ends[i - 1];
        return QByteArrayView(m_bytes.constData() + begin, m_ends[i] - begin);
    }

    void append(QByteArrayView utf8);
    // Appends the value a field takes from a line: the characters at its
    // positions, trimmed or cleaned up as its definition says (empty, never
    // missing, past the end of a short line).
    void appendField(const Masters::Field &field, const QString &line);
    // Appends the values every field takes from a line.
    void appendFields(const QList<Masters::Field> &fields, const QString &line);

private:
    void appendConverted(QStringView text, bool commaToPeriod);

    ByteBuffer m_bytes;
    QVarLengthArray<qsizetype, 32> m_ends;
    // Stateless: a lone surrogate at the end of one value becomes the
    // replacement character there instead of carrying into the next.
    QStringEncoder m_utf8 { QStringConverter::Utf8, QStringConverter::Flag::Stateless };
};

// The clean-up of name fields, in place on UTF-8: every "," becomes "." and
// every "，" becomes "．", so that a name never adds a field to an export line.
void CommaToPeriod(char *utf8, qsizetype size);

// The text without leading and trailing half-width (U+0020) and full-width
// (U+3000) spaces, as FixedWidth::trim does it, on UTF-8.
QByteArrayView trimmed(QByteArrayView utf8);

} // namespace Bulk
