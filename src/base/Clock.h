#pragma once

#include <QDateTime>

// The current local date and time, as a dependency so that time stamps can be
// fixed in tests.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};
