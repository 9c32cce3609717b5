#include "Comm.h"

#include "FixedWidth.h"
#include "TextFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Comm {

namespace {

QString withSeparator(const QString &path)
{
    if (path.isEmpty() || path.endsWith(u'/'))
        return path;
    return path + u'/';
}

QString fromStation(const QString &stationDir, const QString &path)
{
    if (stationDir.isEmpty() || path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QDir::cleanPath(QDir(stationDir).filePath(path));
}

// Only a database file is taken from the station folder.
QString databaseFromStation(const QString &stationDir, const QString &value)
{
    return isServerUri(value) ? value : fromStation(stationDir, value);
}

} // namespace

bool parseSettings(const QString &text, Settings *settings, QString *error)
{
    const QStringList lines = TextFile::splitLines(text);
    for (const QString &line : lines) {
        const qsizetype p = line.indexOf(u'=');
        if (p < 0)
            continue;
        const QString key = FixedWidth::trim(line.left(p));
        if (key.isEmpty())
            continue;
        settings->values.insert(key, FixedWidth::trim(line.mid(p + 1)));
    }

    const QString &station = settings->stationDir;
    settings->DbPath = databaseFromStation(station, settings->value(QStringLiteral("DBname")));
    // Terminal IDs and "backup/" are appended straight to the root, so it must
    // end with a separator; a root of /srv/ht means /srv/ht/.
    settings->DataRoot
        = withSeparator(fromStation(station, settings->value(QStringLiteral("DATA"))));

    const QString port = settings->value(QStringLiteral("PORT"));
    if (!port.isEmpty()) {
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number == 0 || number > 65535) {
            *error = QStringLiteral("PORT の値が正しくありません: %1").arg(port);
            return false;
        }
        settings->port = quint16(number);
    }

    const QString logDays = settings->value(QStringLiteral("LOGDAYS"));
    if (!logDays.isEmpty()) {
        bool ok = false;
        const uint days = logDays.toUInt(&ok);
        if (!ok || days > 36500) {
            *error = QStringLiteral("LOGDAYS の値が正しくありません: %1").arg(logDays);
            return false;
        }
        settings->logDays = int(days);
    }

    const StationLayout layout = settings->layout();
    const QString importDb = settings->value(QStringLiteral("IMPORTDB"));
    settings->importDb = importDb.isEmpty() ? layout.defaultMaintenanceDatabase()
                                            : databaseFromStation(station, importDb);
    const QString importDir = settings->value(QStringLiteral("IMPORTDIR"));
    settings->importDir = importDir.isEmpty() ? layout.defaultImportFolder()
                                              : withSeparator(fromStation(station, importDir));
    return true;
}

bool checkSettings(const Settings &settings, QString *error)
{
    const QString file = settings.settingsFile();
    const auto missing = [&](const char *key) {
        *error = QStringLiteral("設定ファイル %1 に %2 がありません。"
                                "新しいステーションは tarvinex init DIR で作成してください")
                     .arg(file, QLatin1String(key));
        return false;
    };
    if (settings.DbPath.isEmpty())
        return missing("DBname");
    if (settings.DataRoot.isEmpty())
        return missing("DATA");
    if (!QFileInfo(settings.DataRoot).isDir()) {
        *error = QStringLiteral("設定ファイル %1: DATA のフォルダ %2 がありません。"
                                "新しいステーションは tarvinex init DIR で作成してください")
                     .arg(file, settings.DataRoot);
        return false;
    }
    return true;
}

bool LoadSettings(const QString &stationDir, Settings *settings, QString *error)
{
    *settings = Settings();
    // Absolute, so that every path the station shows or logs names its place.
    settings->stationDir = QDir::cleanPath(QDir(stationDir).absolutePath());
    const QString path = settings->settingsFile();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("設定ファイル %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("設定ファイル %1 を読めません（%2）").arg(path, file.errorString());
        return false;
    }
    const QString text = TextFile::decode(bytes);
    // A path read wrongly would send the station to another database or
    // folder: bytes that are not CP932 refuse the file.
    if (const qsizetype line = TextFile::firstUndecodableLine(TextFile::splitLines(text))) {
        *error = QStringLiteral("設定ファイル %1 の %2 行目を読めません（%3）")
                     .arg(path)
                     .arg(line)
                     .arg(TextFile::undecodableCause());
        return false;
    }
    QString problem;
    if (!parseSettings(text, settings, &problem)) {
        *error = QStringLiteral("設定ファイル %1: %2").arg(path, problem);
        return false;
    }
    return true;
}

QString ZeroPad(int width, const QString &value)
{
    return value.rightJustified(width, u'0');
}

QString ZeroPad(int width, qint64 value)
{
    return ZeroPad(width, QString::number(value));
}

QString terminalId(int terminalNumber)
{
    return ZeroPad(4, terminalNumber);
}

bool isServerUri(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://"))
        || location.startsWith(QLatin1String("postgres://"));
}

} // namespace Comm
