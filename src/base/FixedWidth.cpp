#include "FixedWidth.h"

namespace {

bool isSpace(QChar c)
{
    return c == QChar(0x0020) || c == QChar(0x3000);
}

} // namespace

namespace FixedWidth {

QString cut(const QString &line, int start, int width)
{
    // Empty, never null: a field past the end of a short line is stored as
    // empty text, which a database does not confuse with a missing value.
    if (start < 1 || width <= 0 || start > line.size())
        return QStringLiteral("");
    return line.mid(start - 1, width);
}

QString trim(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text.at(begin)))
        ++begin;
    while (end > begin && isSpace(text.at(end - 1)))
        --end;
    if (begin == 0 && end == text.size())
        return text;
    if (begin == end)
        return QStringLiteral("");
    return text.mid(begin, end - begin);
}

bool isBlank(const QString &line)
{
    for (QChar c : line) {
        if (!isSpace(c))
            return false;
    }
    return true;
}

} // namespace FixedWidth

QString CommaToPeriod(QString text)
{
    text.replace(QChar(u','), QChar(u'.'));
    text.replace(QChar(0xFF0C), QChar(0xFF0E));
    return text;
}
