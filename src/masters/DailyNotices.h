#pragma once

#include <QDate>
#include <QSet>
#include <QString>

class Clock;

// What has been told today, so that a mistake left standing is told once a
// day rather than on every scan. A long-running station keeps it in memory;
// a one-shot command keeps it in a file between runs.
class DailyNotices
{
public:
    explicit DailyNotices(const Clock &clock);

    // True, and remembered, when key has not been told today.
    bool firstToday(const QString &key);

    // A missing or unreadable file, or one of another day, tells all again.
    void load(const QString &file);
    // Written whole under a temporary name, then renamed over the file.
    bool save(const QString &file, QString *why) const;

private:
    void startDay(const QDate &day);

    const Clock &m_clock;
    QDate m_day;
    QSet<QString> m_told;
};
