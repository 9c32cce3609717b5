#include "Operator.h"

#include "StationLog.h"

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

int ConsoleOperator::choose(const QString &, const QString &, const QStringList &items)
{
    return items.isEmpty() ? -1 : 0;
}
