#pragma once

#include <QDate>
#include <QMap>
#include <QString>

#include <functional>

class Clock;

// The station log: every text shown to the operator, one time-stamped line
// each, in tarvinex-YYYYMMDD.log of the station's log folder (UTF-8), so that
// what happened while nobody watched can be read later. The window, serve,
// scan and import share the day's file, so each line names the process that
// wrote it and its ID. Days older than keepDays are removed when the log is
// opened and on the first line of each new day; 0 keeps every day. The days
// are counted from the newest day's file present at opening and the time the
// process has seen pass, so a clock set wrong removes no day a right one keeps.
class StationLog
{
public:
    // folder: StationLayout::logFolder() of the station.
    StationLog(const QString &folder,
               const Clock &clock,
               const QString &process = QStringLiteral("tarvinex"),
               int keepDays = 0);

    void write(const QString &text);
    // Also hands each line written, as one line without its time, to echo,
    // whether or not the file took it: serve's standard output carries
    // everything the log does.
    void setEcho(std::function<void(const QString &line)> echo) { m_echo = std::move(echo); }
    // A text of several lines as one line: its line breaks become " | ".
    static QString oneLine(QString text);
    QString currentFile() const;
    // Why the last write failed; empty when it succeeded.
    QString error() const { return m_error; }

private:
    void removeOldDays(const QDate &today);
    // The days' files present, by their day.
    QMap<QDate, QString> dayFiles() const;
    QString fileOf(const QDate &day) const;

    QString m_dir;
    const Clock &m_clock;
    QString m_tag;
    int m_keepDays;
    QDate m_prunedOn;
    QDate m_newestAtOpen;
    qint64 m_openedMs;
    QString m_error;
    std::function<void(const QString &)> m_echo;
};
