#include "Operator.h"

#include "StationLog.h"

void Operator::notice(const QString &caption, const QString &text)
{
    if (caption.isEmpty())
        message(text);
    else
        information(caption, text);
}

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

void LoggedOperator::notice(const QString &caption, const QString &text)
{
    m_log.write(caption.isEmpty() ? text : caption + QStringLiteral(": ") + text);
    m_inner.notice(caption, text);
}

QuietNotices::QuietNotices(Operator &inner, bool quiet)
    : m_inner(inner)
    , m_quiet(quiet)
{ }

void QuietNotices::setStatusLine(std::function<void(const QString &)> statusLine)
{
    m_statusLine = std::move(statusLine);
}

void QuietNotices::notice(const QString &caption, const QString &text)
{
    if (m_quiet && m_statusLine)
        m_statusLine(StationLog::oneLine(text));
    else
        m_inner.notice(caption, text);
}

int ConsoleOperator::choose(const QString &, const QString &, const QStringList &items)
{
    return items.isEmpty() ? -1 : 0;
}
