#include "StationLock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a waiting take tries again.
constexpr qint64 RetryMinMs = 100;
constexpr qint64 RetryMaxMs = 500;
// The holder's record is a few short lines; more is not a record.
constexpr qint64 RecordMaxBytes = 4096;

} // namespace

StationLock::StationLock(const QString &lockFile)
    : m_path(lockFile)
{ }

StationLock::~StationLock()
{
    release();
}

bool StationLock::take(int waitMs, QString *problem)
{
    if (m_fd >= 0)
        return true;
    const QDeadlineTimer deadline(waitMs);
    forever {
        switch (tryTake()) {
        case Attempt::Taken:
            m_error = QLockFile::NoError;
            return true;
        case Attempt::Replaced:
            continue;
        case Attempt::Failed:
            break;
        case Attempt::Held:
            if (!deadline.hasExpired()) {
                QThread::msleep(quint64(qBound(RetryMinMs, deadline.remainingTime(), RetryMaxMs)));
                continue;
            }
            break;
        }
        break;
    }
    const QString path = QDir::toNativeSeparators(m_path);
    switch (m_error) {
    case QLockFile::LockFailedError:
        *problem = QStringLiteral("%1 is held by %2").arg(path, holder());
        break;
    case QLockFile::PermissionError:
        *problem = QStringLiteral("%1 cannot be created (permission denied)").arg(path);
        break;
    default:
        *problem = QStringLiteral("%1 cannot be created").arg(path);
        break;
    }
    return false;
}

// The lock is the flock on the file, not the file: taking it never creates
// exclusively or removes, so there is no moment at which two can think it
// theirs, and a holder killed at any point leaves a file the next one takes.
StationLock::Attempt StationLock::tryTake()
{
    const QByteArray name = QFile::encodeName(m_path);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) {
        m_error = (errno == EACCES || errno == EPERM || errno == EROFS) ? QLockFile::PermissionError
                                                                        : QLockFile::UnknownError;
        return Attempt::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = (errno == EWOULDBLOCK) ? QLockFile::LockFailedError : QLockFile::UnknownError;
        ::close(fd);
        return m_error == QLockFile::LockFailedError ? Attempt::Held : Attempt::Failed;
    }
    // An older station removes a file it found stale while holding its flock;
    // the file opened just before that is no longer the one at the name.
    struct stat locked = {};
    struct stat named = {};
    if (::fstat(fd, &locked) != 0 || ::lstat(name.constData(), &named) != 0
        || locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
        ::close(fd);
        return Attempt::Replaced;
    }
    m_fd = fd;
    recordHolder();
    return Attempt::Taken;
}

// The lines an older station's QLockFile reads (PID, application, host), then
// since when it is held. Only a message depends on it, so a failure is not one.
void StationLock::recordHolder()
{
    const QByteArray record = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
        + QCoreApplication::applicationName().toUtf8() + '\n' + QSysInfo::machineHostName().toUtf8()
        + '\n' + QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + '\n';
    if (::ftruncate(m_fd, 0) == 0
        && ::pwrite(m_fd, record.constData(), size_t(record.size()), 0) == record.size())
        ::fsync(m_fd);
}

void StationLock::release()
{
    // The file stays: removing it would let one waiter lock the removed file
    // while another creates a new one at the name.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

StationLock::Record StationLock::readRecord(const QString &lockFile)
{
    QFile file(lockFile);
    const QList<QByteArray> lines = file.open(QIODevice::ReadOnly)
        ? file.read(RecordMaxBytes).split('\n')
        : QList<QByteArray>();
    return { lines.value(0).toLongLong(),
             QString::fromUtf8(lines.value(1)),
             QString::fromUtf8(lines.value(2)),
             QString::fromUtf8(lines.value(3)) };
}

QString StationLock::holder() const
{
    const Record record = readRecord(m_path);
    if (record.pid <= 0)
        return QStringLiteral("another process");
    const QDateTime since = QDateTime::fromString(record.since, Qt::ISODate);
    return QStringLiteral("%1 (PID %2 on %3%4)")
        .arg(record.application.isEmpty() ? QStringLiteral("a process") : record.application)
        .arg(record.pid)
        .arg(record.host.isEmpty() ? QStringLiteral("an unknown host") : record.host)
        .arg(since.isValid() ? QStringLiteral(", since ") + since.toString(Qt::ISODate)
                             : QString());
}
