#include "LinkConfig.h"

#include "base/Comm.h"
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

CommServer::Config linkConfig(const Comm::Settings &settings, QString *problem)
{
    CommServer::Config config;
    config.address = QHostAddress::Any;
    config.port = settings.port;
    Link::StationConfig &link = config.link;
    link.stationDir = settings.stationDir;
    link.linkKey = settings.value(QStringLiteral("LINKKEY")).toUtf8();

    const QString maxFile = settings.value(QStringLiteral("MAXFILE"));
    if (!maxFile.isEmpty()) {
        bool ok = false;
        const qint64 bytes = maxFile.toLongLong(&ok);
        if (ok && bytes > 0)
            link.maxFileSize = bytes;
        else if (problem)
            *problem = QStringLiteral("MAXFILE の値が正しくありません: %1（%2 バイトとします）")
                           .arg(maxFile)
                           .arg(link.maxFileSize);
    }

    // A terminal must not be able to replace the station's own files.
    link.reservedNames.append(QLatin1String(Comm::SettingsFileName));
    reserveIfInside(settings.DbPath, settings.stationDir, &link.reservedNames);
    reserveIfInside(settings.importDb, settings.stationDir, &link.reservedNames);
    const StationLayout layout = settings.layout();
    for (const QString &lock : { layout.stationLockFile(), layout.mastersLockFile() })
        reserveIfInside(lock, settings.stationDir, &link.reservedNames);
    if (QCoreApplication::instance())
        reserveIfInside(
            QCoreApplication::applicationFilePath(), settings.stationDir, &link.reservedNames);
    return config;
}
