#include "LinkConfig.h"

#include "base/Clock.h"
#include "base/Comm.h"
#include "base/FreeSpace.h"
#include "base/LinkExposure.h"
#include "base/StationLayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

// A file of the station that lies in the station folder itself, by name.
void reserveIfInside(const QString &path, const QString &stationDir, QStringList *names)
{
    if (path.isEmpty())
        return;
    const QFileInfo info(QDir(stationDir), path);
    if (QDir::cleanPath(info.absolutePath()) == QDir::cleanPath(QDir(stationDir).absolutePath()))
        names->append(info.fileName());
}

} // namespace

QList<QHostAddress> listenAddresses(const Comm::Settings &settings)
{
    QList<QHostAddress> addresses;
    for (const QString &entry : Comm::effectiveListen(settings)) {
        if (entry == QLatin1String(Comm::ListenAny))
            addresses.append(QHostAddress::Any);
        else if (entry == QLatin1String(Comm::ListenLoopback))
            addresses.append({ QHostAddress::LocalHost, QHostAddress::LocalHostIPv6 });
        else
            addresses.append(QHostAddress(entry));
    }
    return addresses;
}

CommServer::Config linkConfig(const Comm::Settings &settings, const Clock &clock)
{
    CommServer::Config config;
    config.port = settings.port;
    config.addresses = listenAddresses(settings);
    config.acceptV1 = settings.acceptV1;
    // A retired key stops being taken when its time runs out, not at the
    // next start.
    config.keys = [key = settings.linkKey, retired = settings.retiredKeys, &clock] {
        QList<QByteArray> keys;
        if (key.isEmpty())
            return keys;
        keys.append(key);
        const QDateTime now = clock.now();
        for (const Comm::RetiredKey &old : retired) {
            if (old.until > now)
                keys.append(old.key);
        }
        return keys;
    };
    Link::StationConfig &link = config.link;
    const StationLayout layout = settings.layout();
    link.folder = layout.transferFolder();
    link.firstTerminal = StationLayout::FirstTerminal;
    link.lastTerminal = StationLayout::LastTerminal;
    link.maxFileSize = settings.maxFile;
    link.admit = [floor = FreeSpaceFloor(settings)](qint64 announcedSize) {
        return floor.shortage(announcedSize);
    };

    // Received files land in a folder of their own; the names of the
    // station's own files are refused as well, so that no one mistakes a
    // terminal's file for one of them.
    link.reservedNames.append(QLatin1String(Comm::SettingsFileName));
    reserveIfInside(layout.linkKeyFile(), settings.stationDir, &link.reservedNames);
    reserveIfInside(settings.linkKeyFile, settings.stationDir, &link.reservedNames);
    for (const QString &database : { settings.DbPath, settings.importDb }) {
        if (database.isEmpty())
            continue;
        for (const QString &suffix : { QString(),
                                       QStringLiteral("-journal"),
                                       QStringLiteral("-wal"),
                                       QStringLiteral("-shm") })
            reserveIfInside(database + suffix, settings.stationDir, &link.reservedNames);
    }
    for (const QString &lock : { layout.stationLockFile(), layout.mastersLockFile() })
        reserveIfInside(lock, settings.stationDir, &link.reservedNames);
    if (QCoreApplication::instance())
        reserveIfInside(
            QCoreApplication::applicationFilePath(), settings.stationDir, &link.reservedNames);
    return config;
}
