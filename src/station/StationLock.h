#pragma once

#include <QLockFile>
#include <QString>

// A lock file of the station folder (StationLayout names them), held by one
// process at a time. It is held while its holder keeps the file's flock, which
// the system lets go however the holder ends. What the file records (PID,
// process, host, since when) only names the holder to those refused: after a
// restart PIDs repeat, so a file nobody holds is taken whatever it records.
// A live holder is never timed out, however long it holds the lock.
class StationLock
{
public:
    explicit StationLock(const QString &lockFile);
    ~StationLock();
    StationLock(const StationLock &) = delete;
    StationLock &operator=(const StationLock &) = delete;

    // Takes the lock, waiting up to waitMs for a live holder to let go.
    // On failure *problem says who holds it (or why it cannot be taken).
    bool take(int waitMs, QString *problem);
    void release();
    // Why the last take failed, in the terms QLockFile gives its callers.
    QLockFile::LockError error() const { return m_error; }

    // What a holder records in a lock file, as written (since is ISO 8601);
    // pid is 0 when the file records none.
    struct Record
    {
        qint64 pid = 0;
        QString application;
        QString host;
        QString since;
    };
    static Record readRecord(const QString &lockFile);

private:
    enum class Attempt { Taken, Held, Replaced, Failed };
    Attempt tryTake();
    void recordHolder();
    QString holder() const;

    QString m_path;
    int m_fd = -1;
    QLockFile::LockError m_error = QLockFile::NoError;
};
