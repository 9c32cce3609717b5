#include "SafeFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype CopyChunk = 64 * 1024;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

namespace SafeFile {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

Entry at(const QString &path)
{
    Entry entry;
    struct stat status;
    if (::lstat(native(path).constData(), &status) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            entry.kind = Entry::Kind::Other;
        return entry;
    }
    if (S_ISLNK(status.st_mode))
        entry.kind = Entry::Kind::Link;
    else if (S_ISREG(status.st_mode))
        entry.kind = Entry::Kind::File;
    else if (S_ISDIR(status.st_mode))
        entry.kind = Entry::Kind::Folder;
    else
        entry.kind = Entry::Kind::Other;
    entry.ownerWritable = status.st_mode & S_IWUSR;
    return entry;
}

QString linkRefused()
{
    return QStringLiteral("シンボリックリンクです");
}

QString notRegular()
{
    return QStringLiteral("通常のファイルではありません");
}

QString linkReplaced(const QString &path)
{
    return QStringLiteral("%1 はシンボリックリンクでした。リンク先には書かず、リンクをファイルで"
                          "置き換えました")
        .arg(path);
}

int openForReading(const QString &path, QString *why)
{
    // Checked before reading: opening a FIFO named like a master file would
    // wait for a writer for ever, and a device or folder is no text file.
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const bool loop = errno == ELOOP;
        *why = systemError();
        if (loop && at(path).isLink())
            *why = linkRefused();
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = notRegular();
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

namespace {

// Writes the regular file at source into an open replacement.
bool copyInto(const QString &source, Replacement &copy, QString *why)
{
    const int fd = openForReading(source, why);
    if (fd < 0)
        return false;
    bool ok = copy.open();
    QByteArray chunk(CopyChunk, Qt::Uninitialized);
    while (ok) {
        const ssize_t got = ::read(fd, chunk.data(), size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *why = systemError();
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        ok = copy.write(QByteArrayView(chunk.constData(), got));
    }
    ::close(fd);
    if (!ok)
        *why = copy.error();
    return ok;
}

} // namespace

bool replace(const QString &from, const QString &to, QString *why)
{
    if (std::rename(native(from).constData(), native(to).constData()) == 0)
        return true;
    *why = systemError();
    return false;
}

bool moveNew(const QString &from, const QString &to, QString *why)
{
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return true;
    // A file system without the flag: the name is checked first instead.
    if (errno == EINVAL || errno == ENOSYS) {
        if (at(to).exists())
            errno = EEXIST;
        else if (std::rename(source.constData(), target.constData()) == 0)
            return true;
    }
    // Another file system (the data folder on another disk): copied whole
    // beside the name, given the name, then the original goes.
    if (errno == EXDEV) {
        Replacement copy(to);
        if (!copyInto(from, copy, why))
            return false;
        if (!copy.commitNew()) {
            *why = copy.error();
            return false;
        }
        if (::unlink(source.constData()) == 0)
            return true;
    }
    *why = systemError();
    return false;
}

Replacement::Replacement(const QString &path, mode_t mode)
    : m_path(path)
    , m_mode(mode)
{ }

Replacement::~Replacement()
{
    discard();
}

bool Replacement::fail(const QString &cause)
{
    m_error = cause;
    discard();
    return false;
}

bool Replacement::open()
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    if (at(m_path).kind == Entry::Kind::Folder)
        return fail(QString::fromLocal8Bit(std::strerror(EISDIR)));
    const qsizetype slash = m_path.lastIndexOf(u'/');
    const QString folder = m_path.left(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString unique;
        for (int i = 0; i < 6; ++i)
            unique += QLatin1Char(Letters[QRandomGenerator::global()->bounded(36)]);
        const QString temp = folder + tempPattern().replace(QStringLiteral("XXXXXX"), unique);
        // The umask decides too, as for any file the station makes.
        m_fd = ::open(
            native(temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m_mode);
        if (m_fd >= 0) {
            m_temp = temp;
            return true;
        }
        if (errno != EEXIST)
            return fail(systemError());
    }
    return fail(QStringLiteral("一時ファイルの名前が空いていません"));
}

bool Replacement::write(QByteArrayView bytes)
{
    if (m_fd < 0)
        return false;
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return fail(systemError());
        data += written;
        left -= written;
        m_written += written;
    }
    // A large file is sent on its way to the disk while it is written, so
    // that the fsync at its end does not wait for all of it at once.
    if (m_written - m_writebackFrom >= WritebackBytes) {
        ::sync_file_range(
            m_fd, m_writebackFrom, m_written - m_writebackFrom, SYNC_FILE_RANGE_WRITE);
        m_writebackFrom = m_written;
    }
    return true;
}

bool Replacement::commit()
{
    return finish(true);
}

bool Replacement::finish(bool replacing)
{
    if (m_fd < 0)
        return false;
    if (::fsync(m_fd) != 0)
        return fail(systemError());
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(systemError());
    m_replacedLink = replacing && at(m_path).isLink();
    QString why;
    if (!(replacing ? replace(m_temp, m_path, &why) : moveNew(m_temp, m_path, &why)))
        return fail(why);
    m_temp.clear();
    return true;
}

bool Replacement::commitNew()
{
    return finish(false);
}

void Replacement::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_temp.isEmpty())
        ::unlink(native(m_temp).constData());
    m_temp.clear();
}

int sweep(const QString &folder)
{
    QString pattern = Replacement::tempPattern();
    pattern.replace(QStringLiteral("XXXXXX"), QStringLiteral("*"));
    int removed = 0;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({ pattern }, QDir::Files | QDir::Hidden)) {
        if (::unlink(native(dir.filePath(name)).constData()) == 0)
            ++removed;
    }
    return removed;
}

bool copy(const QString &source, const QString &target, QString *why, bool *replacedLink)
{
    Replacement copy(target);
    if (!copyInto(source, copy, why))
        return false;
    if (!copy.commit()) {
        *why = copy.error();
        return false;
    }
    *replacedLink = copy.replacedLink();
    return true;
}

} // namespace SafeFile
