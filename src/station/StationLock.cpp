#include "StationLock.h"

#include "base/Console.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
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

// How often a waiting take looks for a torn lock file, and how old one must
// be before it is taken over: a live holder writes its PID within
// microseconds of creating the file.
constexpr int TornLockCheckMs = 500;
constexpr qint64 TornLockGraceMs = 1000;

} // namespace

bool StationLock::take(int waitMs, QString *problem)
{
    const QDeadlineTimer deadline(waitMs);
    forever {
        const auto slice = qMin<qint64>(deadline.remainingTime(), TornLockCheckMs);
        if (m_lock.tryLock(int(slice)))
            return true;
        if (m_lock.error() != QLockFile::LockFailedError)
            break;
        if (takeOverTornLock())
            continue;
        if (deadline.hasExpired())
            break;
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

// A process killed between creating the lock file and writing its PID leaves
// the file empty. QLockFile cannot tell whose it is and, with no stale time,
// would wait for it for ever. removeStaleLockFile only removes a file whose
// flock nobody holds, so a live holder keeps it; the .rmlock is the guard
// QLockFile itself uses against two processes removing at once.
bool StationLock::takeOverTornLock()
{
    qint64 pid = 0;
    QString host;
    QString application;
    const auto torn = [&] {
        const QFileInfo file(m_path);
        return file.exists() && !m_lock.getLockInfo(&pid, &host, &application)
            && file.lastModified().msecsTo(QDateTime::currentDateTime()) >= TornLockGraceMs;
    };
    if (!torn())
        return false;
    QLockFile removing(m_path + QStringLiteral(".rmlock"));
    return removing.tryLock(0) && torn() && m_lock.removeStaleLockFile();
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

namespace Cli {

namespace {

// Long enough for a large product master to be applied.
constexpr int DefaultLockWaitSeconds = 600;

} // namespace

QCommandLineOption lockWaitOption()
{
    return QCommandLineOption(
        QStringLiteral("lock-wait"),
        QStringLiteral("Seconds to wait while another process applies master files (default %1).")
            .arg(DefaultLockWaitSeconds),
        QStringLiteral("SECONDS"),
        QString::number(DefaultLockWaitSeconds));
}

bool takeMastersLock(const QCommandLineParser &parser, StationLock *lock)
{
    bool ok = false;
    const int seconds = parser.value(lockWaitOption()).toInt(&ok);
    if (!ok || seconds < 0 || seconds > 24 * 3600) {
        printLine(stderr,
                  QStringLiteral("tarvinex: --lock-wait: not a number of seconds: ")
                      + parser.value(lockWaitOption()));
        return false;
    }
    QString problem;
    if (lock->take(seconds * 1000, &problem))
        return true;
    printLine(stderr,
              QStringLiteral("tarvinex: master files are being applied by another process: ")
                  + problem);
    return false;
}

bool takeStationLock(StationLock *lock, QString *problem)
{
    QString holder;
    if (lock->take(0, &holder))
        return true;
    *problem = (lock->error() == QLockFile::LockFailedError
                    ? QStringLiteral("tarvinex: the station is already running: ")
                    : QStringLiteral("tarvinex: the station cannot start: "))
        + holder;
    return false;
}

} // namespace Cli
