#include "StationLock.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

StationLock::StationLock(const QString &lockFile)
    : m_path(lockFile)
    , m_lock(lockFile)
{
    // A station runs for months: the lock's age says nothing. Stale means its
    // process is gone (checked on this host by its PID and boot).
    m_lock.setStaleLockTime(0);
}

namespace {

// A live holder writes its PID within microseconds of creating the lock file;
// an empty one older than the grace was left by a process killed in between.
constexpr qint64 TornLockGraceMs = 1000;
// How often a waiting take tries again and looks for a torn lock file.
constexpr qint64 RetryMinMs = 100;
constexpr qint64 RetryMaxMs = 500;

} // namespace

bool StationLock::take(int waitMs, QString *problem)
{
    const QDeadlineTimer deadline(waitMs);
    int slice = 0;
    forever {
        if (m_lock.tryLock(slice))
            return true;
        if (m_lock.error() != QLockFile::LockFailedError)
            break;
        const qint64 tornAge = tornLockAgeMs();
        if (tornAge >= TornLockGraceMs && takeOverTornLock())
            continue;
        // Even a take that does not wait sits out a torn lock's grace: a
        // station restarted right after the kill that tore it must start.
        const bool tornInGrace = tornAge >= 0 && tornAge < TornLockGraceMs;
        if (deadline.hasExpired() && !tornInGrace)
            break;
        slice = int(qBound(RetryMinMs, deadline.remainingTime(), RetryMaxMs));
    }
    switch (m_lock.error()) {
    case QLockFile::LockFailedError:
        *problem
            = QStringLiteral("%1 is held by %2").arg(QDir::toNativeSeparators(m_path), holder());
        break;
    case QLockFile::PermissionError:
        *problem = QStringLiteral("%1 cannot be created (permission denied)")
                       .arg(QDir::toNativeSeparators(m_path));
        break;
    default:
        *problem = QStringLiteral("%1 cannot be created").arg(QDir::toNativeSeparators(m_path));
        break;
    }
    return false;
}

qint64 StationLock::tornLockAgeMs() const
{
    const QFileInfo file(m_path);
    qint64 pid = 0;
    QString host;
    QString application;
    if (!file.exists() || m_lock.getLockInfo(&pid, &host, &application))
        return -1;
    // A time ahead of the clock (the clock was set back) counts as old, as
    // QLockFile's own stale test takes it; else it would be waited on.
    return qAbs(file.lastModified().msecsTo(QDateTime::currentDateTime()));
}

// A process killed between creating the lock file and writing its PID leaves
// the file empty. QLockFile cannot tell whose it is and, with no stale time,
// would wait for it for ever. removeStaleLockFile only removes a file whose
// flock nobody holds, so a live holder keeps it; the .rmlock is the guard
// QLockFile itself uses against two processes removing at once.
bool StationLock::takeOverTornLock()
{
    QLockFile removing(m_path + QStringLiteral(".rmlock"));
    return removing.tryLock(0) && tornLockAgeMs() >= TornLockGraceMs
        && m_lock.removeStaleLockFile();
}

QString StationLock::holder() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_lock.getLockInfo(&pid, &host, &application))
        return QStringLiteral("another process");
    return QStringLiteral("%1 (PID %2 on %3)")
        .arg(application.isEmpty() ? QStringLiteral("a process") : application)
        .arg(pid)
        .arg(host.isEmpty() ? QStringLiteral("an unknown host") : host);
}
