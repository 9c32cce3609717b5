#pragma once

#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

// Files in folders that others write into (receive, send, backup, import and
// transfer folders). A symbolic link standing under a file's own name there
// is never followed: it is refused when read and replaced, never its target,
// when written, so nothing placed in such a folder makes the station read or
// write a file outside it. Links in the folders' own paths are followed, as
// an administrator may set them (the data folder on another disk).
//
// Hand-written on POSIX calls because QSaveFile, QFile::copy and QFileInfo
// resolve a link at the last name.
namespace SafeFile {

// What stands under a name, the name itself not followed.
struct Entry
{
    enum class Kind { Missing, Link, File, Folder, Other };
    Kind kind = Kind::Missing;
    bool ownerWritable = false;

    bool exists() const { return kind != Kind::Missing; }
    bool isLink() const { return kind == Kind::Link; }
};
Entry at(const QString &path);

// The reason of the last failed system call, in the system's own words.
QString systemError();

// Why a name is refused for reading, for the operator.
QString linkRefused();
QString notRegular();
// What the log says when a link standing under path was replaced by a file.
QString linkReplaced(const QString &path);

// Opens a regular file for reading, neither following a link at its name nor
// waiting for a FIFO's writer. A close-on-exec descriptor, or -1 with why.
int openForReading(const QString &path, QString *why);

// rename(2): replaces whatever file or link stands under to in one step.
bool replace(const QString &from, const QString &to, QString *why);
// Renames from to a name nothing stands under, a dangling link included
// (QFile::rename would copy through one); across file systems, by a copy
// given the name the same way.
bool moveNew(const QString &from, const QString &to, QString *why);

// A file written under a temporary name in the folder of its own name, and
// renamed over that name once complete and on disk, so that a reader finds
// the old file or the new one whole, never a part. The temporary file is made
// as the umask allows (and takes the group of a set-group-ID folder). One not
// committed is removed.
class Replacement
{
public:
    // mode is what the temporary file is made with, before the umask: a
    // secret is given a narrower one, so that it is never readable by others,
    // not even before its name is given.
    explicit Replacement(const QString &path, mode_t mode = 0666);
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Refuses a name a rename cannot replace (a folder) before anything is
    // written, so that work that depends on the file can still be undone.
    bool open();
    bool write(QByteArrayView bytes);
    bool commit();
    // Gives the file its name only when nothing stands under it.
    bool commitNew();
    void discard();

    QString path() const { return m_path; }
    QString error() const { return m_error; }
    // Whether commit replaced a symbolic link standing under the name.
    bool replacedLink() const { return m_replacedLink; }

    // Temporary files are named so: hidden, and never a name the scan or a
    // terminal can take.
    static QString tempPattern() { return QStringLiteral(".writing-XXXXXX.part"); }

private:
    // What is written is sent towards the disk in pieces of this size.
    static constexpr off_t WritebackBytes = 4 << 20;

    bool fail(const QString &cause);
    bool finish(bool replacing);

    QString m_path;
    mode_t m_mode;
    QString m_temp;
    int m_fd = -1;
    off_t m_written = 0;
    off_t m_writebackFrom = 0;
    QString m_error;
    bool m_replacedLink = false;
};

// Removes the temporary files a killed process left in folder; only for a
// folder no other process is writing into. Returns how many went.
int sweep(const QString &folder);

// Copies a regular file by a Replacement; neither name is followed.
bool copy(const QString &source, const QString &target, QString *why, bool *replacedLink);

} // namespace SafeFile
