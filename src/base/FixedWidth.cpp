#include "FixedWidth.h"

namespace FixedWidth {

QStringView cut(QStringView line, int start, int width)
{
    if (start < 1 || width <= 0 || start > line.size())
        return {};
    return line.mid(start - 1, width);
}

QStringView trim(QStringView text)
{
    const auto isSpace = [](QChar c) {
        return c == QChar(0x0020) || c == QChar(0x3000);
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QString trim(const QString &text)
{
    const QStringView trimmed = trim(QStringView(text));
    if (trimmed.size() == text.size())
        return text;
    return trimmed.isEmpty() ? QStringLiteral("") : trimmed.toString();
}

bool isBlank(const QString &line)
{
    return trim(QStringView(line)).isEmpty();
}

} // namespace FixedWidth
