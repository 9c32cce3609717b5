#pragma once

#include "base/Clock.h"

// A clock the test sets.
class TestClock : public Clock
{
public:
    explicit TestClock(const QDateTime &at = QDateTime(QDate(2026, 12, 8), QTime(9, 30, 5)))
        : current(at)
    { }
    QDateTime now() const override { return current; }
    qint64 elapsedMs() const override { return elapsed; }
    // Time passing: the date and the elapsed time move together.
    void advance(qint64 ms)
    {
        current = current.addMSecs(ms);
        elapsed += ms;
    }
    QDateTime current;
    qint64 elapsed = 0;
};
