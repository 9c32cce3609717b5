#include "RememberedStation.h"

#include "base/StationLayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace RememberedStation {

namespace {

// A path, not a document: anything longer is not ours.
constexpr qint64 MaxBytes = 4096;

} // namespace

QString file()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/tarvinex/station");
}

QString read()
{
    QFile in(file());
    if (!in.open(QIODevice::ReadOnly))
        return QString();
    const QString dir = QString::fromUtf8(in.read(MaxBytes)).section(u'\n', 0, 0);
    if (!QDir::isAbsolutePath(dir)
        || !QFileInfo::exists(StationLayout(dir, QString()).settingsFile()))
        return QString();
    return QDir::cleanPath(dir);
}

// The user's own config folder, which nobody else writes: QSaveFile's
// renaming over the name is safe here.
bool write(const QString &dir, QString *why)
{
    const QString path = file();
    if (!QDir().mkpath(QFileInfo(path).path())) {
        *why = QStringLiteral("%1 を作れません").arg(QFileInfo(path).path());
        return false;
    }
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)
        && out.write(QDir::cleanPath(QFileInfo(dir).absoluteFilePath()).toUtf8() + '\n') >= 0
        && out.commit())
        return true;
    *why = QStringLiteral("%1: %2").arg(path, out.errorString());
    return false;
}

} // namespace RememberedStation
