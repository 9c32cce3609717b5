#pragma once

#include <QString>

class Clock;

// The station log: every text shown to the operator, one time-stamped line
// each, in log/tarvinex-YYYYMMDD.log of the station folder (UTF-8), so that
// what happened while nobody watched can be read later.
class StationLog
{
public:
    StationLog(const QString &stationDir, const Clock &clock);

    void write(const QString &text);
    // A text of several lines as one line: its line breaks become " | ".
    static QString oneLine(QString text);
    QString currentFile() const;
    // Why the last write failed; empty when it succeeded.
    QString error() const { return m_error; }

private:
    QString m_dir;
    const Clock &m_clock;
    QString m_error;
};
