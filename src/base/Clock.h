#pragma once

#include <QDateTime>

#include <chrono>

// The current local date and time, as a dependency so that time stamps can be
// fixed in tests; and the time that has passed, which no setting of the date
// moves, for what must not trust the date.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // Milliseconds from an unspecified start; only the difference of two
    // readings means anything.
    virtual qint64 elapsedMs() const = 0;
};

class SystemClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    qint64 elapsedMs() const override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};
