#pragma once

#include <QLockFile>
#include <QString>

// A lock file of the station folder (StationLayout names them), held by one
// process at a time. A lock left by a process that is gone is taken over; a
// live holder is never timed out, however long it holds the lock; nor is one
// that has yet to write its PID into the file.
class StationLock
{
public:
    explicit StationLock(const QString &lockFile);

    // Takes the lock, waiting up to waitMs for a live holder to let go.
    // On failure *problem says who holds it (or why it cannot be taken).
    bool take(int waitMs, QString *problem);
    void release() { m_lock.unlock(); }
    // Why the last take failed.
    QLockFile::LockError error() const { return m_lock.error(); }

private:
    // How long ago an empty lock file was made; -1 when there is none.
    qint64 tornLockAgeMs() const;
    bool takeOverTornLock();
    QString holder() const;

    QString m_path;
    QLockFile m_lock;
};
