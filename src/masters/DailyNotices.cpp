#include "DailyNotices.h"

#include "base/Clock.h"
#include "base/SafeFile.h"

#include <QFile>

DailyNotices::DailyNotices(const Clock &clock)
    : m_clock(clock)
{ }

void DailyNotices::startDay(const QDate &day)
{
    if (day != m_day)
        m_told.clear();
    m_day = day;
}

bool DailyNotices::firstToday(const QString &key)
{
    startDay(m_clock.now().date());
    if (m_told.contains(key))
        return false;
    m_told.insert(key);
    return true;
}

// The day on the first line, then one key a line, UTF-8.
void DailyNotices::load(const QString &file)
{
    m_told.clear();
    m_day = QDate();
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> lines = in.readAll().split('\n');
    m_day = QDate::fromString(QString::fromUtf8(lines.first()), Qt::ISODate);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).isEmpty())
            m_told.insert(QString::fromUtf8(lines.at(i)));
    }
}

bool DailyNotices::save(const QString &file, QString *why) const
{
    QByteArray text = m_day.toString(Qt::ISODate).toUtf8() + '\n';
    for (const QString &key : m_told)
        text += key.toUtf8() + '\n';
    SafeFile::Replacement out(file);
    if (out.open() && out.write(text) && out.commit())
        return true;
    *why = out.error();
    return false;
}
