#include "Operator.h"

#include "StationLog.h"

#include <cstdio>

LoggedOperator::LoggedOperator(Operator &inner, StationLog &log)
    : m_inner(inner)
    , m_log(log)
{ }

void LoggedOperator::message(const QString &text)
{
    m_log.write(text);
    m_inner.message(text);
}

void LoggedOperator::information(const QString &caption, const QString &text)
{
    m_log.write(caption + QStringLiteral(": ") + text);
    m_inner.information(caption, text);
}

int LoggedOperator::choose(const QString &caption, const QString &prompt, const QStringList &items)
{
    const int picked = m_inner.choose(caption, prompt, items);
    m_log.write(
        caption + QStringLiteral(": ")
        + (picked >= 0 && picked < items.size() ? items.at(picked) : QStringLiteral("(選択なし)")));
    return picked;
}

namespace {

void printLine(const QString &text)
{
    const QByteArray bytes = StationLog::oneLine(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

void ConsoleOperator::message(const QString &text)
{
    printLine(text);
}

void ConsoleOperator::information(const QString &caption, const QString &text)
{
    printLine(caption + QStringLiteral(": ") + text);
}

int ConsoleOperator::choose(const QString &caption, const QString &, const QStringList &items)
{
    if (items.isEmpty())
        return -1;
    printLine(caption + QStringLiteral(": ") + items.first());
    return 0;
}
