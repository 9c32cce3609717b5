#include "FreeSpace.h"

#include "Comm.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <sys/statvfs.h>

#include <limits>

namespace {

// What an unprivileged writer may still use: the blocks root keeps for
// itself are no room for the station, which does not run as root.
qint64 freeBytes(const QString &place)
{
    struct statvfs info = {};
    if (::statvfs(QFile::encodeName(place).constData(), &info) != 0)
        return -1;
    const unsigned long long bytes = (unsigned long long)info.f_bavail * info.f_frsize;
    return bytes > (unsigned long long)std::numeric_limits<qint64>::max()
        ? std::numeric_limits<qint64>::max()
        : qint64(bytes);
}

QString size(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

} // namespace

FreeSpaceFloor::FreeSpaceFloor(const Comm::Settings &settings)
    : m_floor(settings.minFree)
{
    const StationLayout layout = settings.layout();
    m_places << settings.stationDir << settings.DataRoot << layout.transferFolder();
    // A server keeps its own disk; only a database file shares ours.
    for (const QString &database : { settings.DbPath, settings.importDb }) {
        if (!database.isEmpty() && !Comm::isServerUri(database))
            m_places << QFileInfo(database).absolutePath();
    }
    m_places.removeAll(QString());
    m_places.removeDuplicates();
}

QString FreeSpaceFloor::shortage(qint64 incoming) const
{
    if (m_floor <= 0)
        return {};
    for (const QString &place : m_places) {
        const qint64 free = freeBytes(place);
        if (free < 0 || (free >= m_floor && free - m_floor >= incoming))
            continue;
        const QString numbers
            = QStringLiteral("%1 free, MINFREE is %2").arg(size(free), size(m_floor));
        if (incoming > 0)
            return QStringLiteral("too little free space on %1 for %2 more (%3)")
                .arg(place, size(incoming), numbers);
        return QStringLiteral("too little free space on %1 (%2)").arg(place, numbers);
    }
    return {};
}
