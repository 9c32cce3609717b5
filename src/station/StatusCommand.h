#pragma once

#include "base/Comm.h"

#include <QDateTime>
#include <QJsonObject>
#include <QStringList>

// What `tarvinex status` finds, read without taking a lock or writing.
namespace StationStatus {

enum Exit { Healthy = 0, NeedsAttention = 1, UsageError = 2, NotRunning = 3 };

struct Report
{
    QJsonObject json;
    // Not running comes before needing attention: a monitor must learn
    // first that nobody serves the terminals.
    int exitStatus = Healthy;
};

Report gather(const Comm::Settings &settings, const QDateTime &now);
QString text(const QJsonObject &json);

// Who holds a lock file's flock, from the kernel's table of locks
// (/proc/locks): its PID, or 0 when nobody does, or -1 when the table cannot
// be read. Testing by taking the flock, even for a moment, could make a
// station starting at that moment fail.
qint64 flockHolder(const QString &lockFile);

} // namespace StationStatus

namespace Cli {

// tarvinex status [--station-dir DIR] [--json]: exit status 0 healthy and
// running, 1 something needs attention, 2 usage or settings error, 3 no
// station process holds the folder.
int status(const QStringList &arguments);

} // namespace Cli
