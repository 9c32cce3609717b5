#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

class Clock;

// Whether a master or import file is still being written by the host. A copy
// over a file share or SFTP lands a piece at a time, and a file applied half
// way overwrites good rows with a cut line and is then renamed away.
//
// A file whose last line ends (CR or LF) is whole and taken at once, so a
// host script may write a file and scan straight after. Otherwise (an empty
// file too) it is being written while its modification time is within
// SettleSeconds of now, either way, so that a host clock a little off does
// not make a fresh file look old; and while its size or time is seen to
// change, until it has stood still for SettleSeconds on a clock that only
// goes forward. After that it is taken as it is: a host that never ends its
// last line still has its file applied.
class SettleCheck
{
public:
    static constexpr int SettleSeconds = 10;

    // The clock gives the date files are compared with, and the time that
    // has passed, which no change of the date moves.
    explicit SettleCheck(const Clock &clock);

    // A file that cannot be read is not being written: its reader refuses
    // it with the reason.
    bool beingWritten(const QString &path);

private:
    struct Seen
    {
        qint64 size = 0;
        QDateTime modified;
        qint64 changedAt = -1; // on the elapsed clock; -1 while never seen to change
    };

    const Clock &m_clock;
    // What each unsettled file looked like when last checked.
    QHash<QString, Seen> m_seen;
};
