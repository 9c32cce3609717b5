#include "StationInit.h"

#include "base/AccessModel.h"
#include "base/Comm.h"
#include "base/Cp932.h"
#include "base/LinkKeyFile.h"
#include "base/SafeFile.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

bool createDatabase(const QString &path,
                    bool (*createTables)(QSqlDatabase &, QString *),
                    QString *message)
{
    DatabaseConnection connection;
    QString error;
    if (!connection.open(path, DatabaseConnection::Missing::Create)
        || !createTables(connection.database(), &error)) {
        *message = QStringLiteral("データベース %1 を作成できません（%2）")
                       .arg(DatabaseConnection::displayName(path),
                            connection.error().isEmpty() ? error : connection.error());
        return false;
    }
    // Side files (-journal, -wal) take the database file's mode: none of
    // them is the host's to read, though some lie in folders it reads.
    if (!Comm::isServerUri(path)
        && !AccessModel::apply(path, AccessModel::SecretMode, uid_t(-1), gid_t(-1), &error)) {
        *message = QStringLiteral("データベース %1 を作成できません（%2）").arg(path, error);
        return false;
    }
    return true;
}

// A database file given on the command line is meant from where init runs.
QString givenDatabase(const QString &value, const QString &fallback)
{
    if (value.isEmpty())
        return fallback;
    if (Comm::isServerUri(value))
        return value;
    return QDir::cleanPath(QFileInfo(value).absoluteFilePath());
}

StationInit::Databases withDefaults(const StationLayout &layout, StationInit::Databases databases)
{
    databases.terminal = givenDatabase(databases.terminal, layout.defaultTerminalDatabase());
    databases.maintenance
        = givenDatabase(databases.maintenance, layout.defaultMaintenanceDatabase());
    return databases;
}

} // namespace

QString StationInit::settingsText(const QString &dir,
                                  const Databases &given,
                                  bool keyed,
                                  quint16 port)
{
    const StationLayout layout = StationLayout::ofNewStation(dir);
    const Databases databases = withDefaults(layout, given);
    // Absolute, as scripts and tools that read the settings beside the
    // station have always found them; relative paths written by hand are
    // taken from the station folder.
    QStringList lines = {
        QStringLiteral("DBname=") + databases.terminal,
        QStringLiteral("DATA=") + layout.dataRoot(),
        QStringLiteral("PORT=%1").arg(port),
        QStringLiteral("IMPORTDB=") + databases.maintenance,
        QStringLiteral("IMPORTDIR=") + layout.defaultImportFolder(),
    };
    if (keyed)
        lines.append(QStringLiteral("LINKV1=no"));
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

StationInit::Result StationInit::run(const QString &dirArgument,
                                     QString *message,
                                     const Databases &given,
                                     const AccessModel::HostGroup &host,
                                     const Options &options)
{
    const QString dir = QDir::cleanPath(QFileInfo(dirArgument).absoluteFilePath());
    const StationLayout layout = StationLayout::ofNewStation(dir);
    const QString settingsPath = layout.settingsFile();
    if (QFileInfo::exists(settingsPath)) {
        *message = QStringLiteral("%1 は既にあります。既存のステーションは初期化しません")
                       .arg(settingsPath);
        return Result::Refused;
    }
    const QString keyPath = layout.linkKeyFile();
    const bool keyed = !options.linkKey.isEmpty();
    if (keyed && SafeFile::at(keyPath).exists()) {
        *message
            = QStringLiteral("鍵ファイル %1 は既にあります。鍵は上書きしません。その鍵を使うには、"
                             "ほかの場所に移して --link-key-file で渡してください")
                  .arg(keyPath);
        return Result::Refused;
    }

    // The settings file is CP932, as it has always been: a path it cannot
    // hold would be written wrongly and leave a station no command can open.
    // Checked before anything is made.
    const Databases databases = withDefaults(layout, given);
    bool encodable = false;
    const QByteArray settingsBytes = Cp932::encode(
        settingsText(dir, databases, keyed, options.port.value_or(Comm::DefaultPort)), &encodable);
    if (!encodable) {
        *message = QStringLiteral("設定ファイル %1 は CP932 で書かれます。CP932 "
                                  "にない文字を含むパスは使えません")
                       .arg(settingsPath);
        return Result::Refused;
    }

    for (const AccessModel::Folder &folder :
         AccessModel::folders(layout, layout.defaultImportFolder())) {
        QString error;
        if (!AccessModel::makeFolder(folder, host, &error)) {
            *message = QStringLiteral("フォルダ %1 を作成できません（%2）").arg(folder.path, error);
            return Result::Failed;
        }
    }

    if (!createDatabase(databases.terminal, MasterSchema::createTerminalTables, message)
        || !createDatabase(databases.maintenance, MasterSchema::createMaintenanceTables, message)) {
        return Result::Failed;
    }

    // The key just before the settings: a run that failed on a database
    // leaves no key behind to be refused when it is run again.
    QString error;
    if (keyed && !Comm::writeLinkKeyFile(keyPath, { options.linkKey, {} }, &error)) {
        *message = error;
        return Result::Failed;
    }

    // Written last, so a folder whose set-up failed can simply be set up again.
    QSaveFile settings(settingsPath);
    if (!settings.open(QIODevice::WriteOnly) || settings.write(settingsBytes) < 0
        || !settings.commit()) {
        *message = QStringLiteral("設定ファイル %1 を書けません（%2）")
                       .arg(settingsPath, settings.errorString());
        return Result::Failed;
    }
    if (!AccessModel::apply(
            settingsPath, AccessModel::SettingsMode, uid_t(-1), gid_t(-1), &error)) {
        *message = QStringLiteral("設定ファイル %1 を書けません（%2）").arg(settingsPath, error);
        return Result::Failed;
    }
    *message = QStringLiteral("ステーション %1 を作成しました").arg(dir);
    return Result::Created;
}
