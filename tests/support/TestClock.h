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
    QDateTime current;
};
