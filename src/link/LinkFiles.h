#pragma once

#include "Crc32.h"
#include "Wire.h"

#include <QFile>
#include <QString>

#include <memory>

class QIODevice;

namespace Link {

// A file being received. Its bytes go to a temporary file in the target
// folder; only a complete file whose length and CRC-32 match is renamed to
// its name, in one step, so nothing incomplete ever stands under that name.
// A file not finished is removed when this object goes.
//
// Written by hand rather than with QSaveFile, whose temporary files carry no
// name of ours (those left by a killed station could not be told from a
// terminal's files and swept at the next start), or with QTemporaryFile,
// whose files are made 0600, a mode a received file would keep all the way
// to the host: ours is made like any other file, as the umask allows.
class IncomingFile
{
public:
    IncomingFile(const QString &dir, const QString &name, quint64 size);
    ~IncomingFile();

    bool open(QString *error);
    // Refuses bytes beyond the announced size.
    bool append(QByteArrayView chunk, QString *error);
    bool matches(quint32 crc) const { return m_crc.value() == crc; }
    // Checks length and CRC, makes the file durable and renames it into place.
    bool finish(quint32 crc, QString *error);
    void discard();

    QString name() const { return m_name; }
    QString finalPath() const;
    quint64 size() const { return m_size; }
    quint64 received() const { return m_received; }

    // Temporary files are named so, and only such files are swept.
    static QString tempPattern() { return QStringLiteral(".incoming-XXXXXX.part"); }
    // Removes temporary files left in dir by a station that was killed.
    static int sweep(const QString &dir);

private:
    QString m_dir;
    QString m_name;
    quint64 m_size = 0;
    quint64 m_received = 0;
    Crc32 m_crc;
    std::unique_ptr<QFile> m_file;
};

// A file being sent: its DATA frames and the closing END, produced only as
// fast as the connection takes them so that a file of any size costs a fixed
// amount of memory.
class OutgoingFile
{
public:
    // While fewer bytes than this wait on the wire, pump() produces more.
    static constexpr qint64 HighWater = 512 * 1024;

    bool open(const QString &path, QString *error);
    quint64 size() const { return quint64(m_file.size()); }
    // Writes the next DATA frames to device, and END after the last, until
    // HighWater bytes wait on wire; done() once END is written. False when
    // the file cannot be read.
    bool pump(QIODevice &device, const Wire &wire, QString *error);
    bool done() const { return m_done; }

private:
    QFile m_file;
    Crc32 m_crc;
    bool m_done = false;
};

} // namespace Link
