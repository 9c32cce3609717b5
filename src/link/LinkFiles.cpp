#include "LinkFiles.h"

#include "LinkFrame.h"
#include "LinkProtocol.h"

#include <QDir>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace Link {

namespace {

// The system's own words for the last failure: a terminal told "station
// failure" and the operator both need to know the disk is full. QFile has
// none for a write the system cut short, which is how a full disk shows.
QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, QByteArrayView data)
{
    while (!data.isEmpty()) {
        const ssize_t written = ::write(fd, data.data(), size_t(data.size()));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data = data.sliced(written);
    }
    return true;
}

} // namespace

IncomingFile::IncomingFile(const QString &dir, const QString &name, quint64 size)
    : m_dir(dir)
    , m_name(name)
    , m_size(size)
{ }

IncomingFile::~IncomingFile()
{
    discard();
}

QString IncomingFile::finalPath() const
{
    return m_dir + u'/' + m_name;
}

bool IncomingFile::open(QString *error)
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString unique;
        for (int i = 0; i < 6; ++i)
            unique += QLatin1Char(Letters[QRandomGenerator::global()->bounded(36)]);
        auto file = std::make_unique<QFile>(
            m_dir + u'/' + tempPattern().replace(QStringLiteral("XXXXXX"), unique));
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_file = std::move(file);
            return true;
        }
        if (file->exists())
            continue;
        *error = QStringLiteral("cannot create a file in %1: %2").arg(m_dir, file->errorString());
        return false;
    }
    *error = QStringLiteral("cannot create a file in %1: no free name").arg(m_dir);
    return false;
}

bool IncomingFile::append(QByteArrayView chunk, QString *error)
{
    if (!m_file) {
        *error = QStringLiteral("file not open");
        return false;
    }
    if (quint64(chunk.size()) > m_size - m_received) {
        *error = QStringLiteral("more data than the announced %1 bytes").arg(m_size);
        return false;
    }
    if (!writeAll(m_file->handle(), chunk)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_file->fileName(), systemReason());
        return false;
    }
    m_crc.update(chunk);
    m_received += quint64(chunk.size());
    return true;
}

bool IncomingFile::finish(quint32 crc, QString *error)
{
    if (!m_file) {
        *error = QStringLiteral("file not open");
        return false;
    }
    if (m_received != m_size) {
        *error = QStringLiteral("%1 of %2 bytes received").arg(m_received).arg(m_size);
        return false;
    }
    if (m_crc.value() != crc) {
        *error = QStringLiteral("checksum mismatch (received %1, announced %2)")
                     .arg(m_crc.value(), 8, 16, QLatin1Char('0'))
                     .arg(crc, 8, 16, QLatin1Char('0'));
        return false;
    }
    // Once the terminal is told "saved" it may drop its copy: the file must
    // be on disk before it takes its name.
    if (::fdatasync(m_file->handle()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_file->fileName(), systemReason());
        return false;
    }
    const QString temp = m_file->fileName();
    m_file->close();
    // rename(2) replaces an earlier file of that name in one step.
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(finalPath()).constData())
        != 0) {
        *error
            = QStringLiteral("cannot rename %1 to %2: %3").arg(temp, finalPath(), systemReason());
        return false;
    }
    m_file.reset();
    return true;
}

void IncomingFile::discard()
{
    if (!m_file)
        return;
    m_file->close();
    m_file->remove();
    m_file.reset();
}

int IncomingFile::sweep(const QString &dir)
{
    QString pattern = tempPattern();
    pattern.replace(QStringLiteral("XXXXXX"), QStringLiteral("*"));
    int removed = 0;
    const QStringList leftovers = QDir(dir).entryList({ pattern }, QDir::Files | QDir::Hidden);
    for (const QString &name : leftovers) {
        if (QFile::remove(dir + u'/' + name))
            ++removed;
    }
    return removed;
}

bool OutgoingFile::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

bool OutgoingFile::pump(QIODevice &device, const Wire &wire, QString *error)
{
    QByteArray chunk(MaxPayload, Qt::Uninitialized);
    while (!m_done && wire.queued() < HighWater) {
        const qint64 n = m_file.read(chunk.data(), chunk.size());
        if (n < 0) {
            *error
                = QStringLiteral("cannot read %1: %2").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
        if (n == 0) {
            device.write(encodeFrame(End, encodeU32(m_crc.value())));
            m_file.close();
            m_done = true;
            break;
        }
        const QByteArrayView piece(chunk.constData(), n);
        m_crc.update(piece);
        device.write(encodeFrame(Data, piece));
    }
    return true;
}

} // namespace Link
