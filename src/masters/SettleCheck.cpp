#include "SettleCheck.h"

#include "base/Clock.h"
#include "base/SafeFile.h"

#include <sys/stat.h>
#include <unistd.h>

SettleCheck::SettleCheck(const Clock &clock)
    : m_clock(clock)
{ }

bool SettleCheck::beingWritten(const QString &path)
{
    QString why;
    const int fd = SafeFile::openForReading(path, &why);
    if (fd < 0)
        return false;
    struct stat status;
    char last = 0;
    const bool read = ::fstat(fd, &status) == 0
        && (status.st_size == 0 || ::pread(fd, &last, 1, status.st_size - 1) == 1);
    ::close(fd);
    if (!read || last == '\n' || last == '\r') {
        m_seen.remove(path);
        return false;
    }

    const qint64 now = m_clock.elapsedMs();
    Seen current;
    current.size = status.st_size;
    current.modified = QDateTime::fromMSecsSinceEpoch(
        qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000, Qt::UTC);
    const auto before = m_seen.constFind(path);
    if (before != m_seen.cend()) {
        const bool changed = before->size != current.size || before->modified != current.modified;
        current.changedAt = changed ? now : before->changedAt;
    }
    const bool stillChanging
        = current.changedAt >= 0 && now - current.changedAt < qint64(SettleSeconds) * 1000;
    const bool fresh = qAbs(current.modified.secsTo(m_clock.now())) < SettleSeconds;
    if (!stillChanging && !fresh) {
        m_seen.remove(path);
        return false;
    }
    m_seen.insert(path, current);
    return true;
}
