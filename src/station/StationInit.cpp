#include "StationInit.h"

#include "base/Comm.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"
#include "base/TextFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

bool makeFolder(const QString &path, QString *message)
{
    if (QDir().mkpath(path))
        return true;
    *message = QStringLiteral("フォルダ %1 を作成できません").arg(path);
    return false;
}

bool createDatabase(const QString &path,
                    bool (*createTables)(QSqlDatabase &, QString *),
                    QString *message)
{
    DatabaseConnection connection;
    QString error;
    if (!connection.open(path) || !createTables(connection.database(), &error)) {
        *message = QStringLiteral("データベース %1 を作成できません（%2）")
                       .arg(DatabaseConnection::displayName(path),
                            connection.error().isEmpty() ? error : connection.error());
        return false;
    }
    return true;
}

} // namespace

namespace {

StationInit::Databases withDefaults(const QString &dir, StationInit::Databases databases)
{
    if (databases.terminal.isEmpty())
        databases.terminal = dir + QStringLiteral("/tarvinex.db");
    if (databases.maintenance.isEmpty())
        databases.maintenance = dir + QStringLiteral("/data/0000/MasterConv.db");
    return databases;
}

} // namespace

QString StationInit::settingsText(const QString &dir, const Databases &given)
{
    const Databases databases = withDefaults(dir, given);
    const QString data = dir + QStringLiteral("/data/");
    const QStringList lines = {
        QStringLiteral("DBname=") + databases.terminal,
        QStringLiteral("DATA=") + data,
        QStringLiteral("PORT=%1").arg(Comm::DefaultPort),
        QStringLiteral("IMPORTDB=") + databases.maintenance,
        QStringLiteral("IMPORTDIR=") + data + QStringLiteral("0000/rcv/"),
    };
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

StationInit::Result StationInit::run(const QString &dirArgument,
                                     QString *message,
                                     const Databases &given)
{
    const QString dir = QDir::cleanPath(QFileInfo(dirArgument).absoluteFilePath());
    const QString settingsPath = Comm::settingsFilePath(dir);
    if (QFileInfo::exists(settingsPath)) {
        *message = QStringLiteral("%1 は既にあります。既存のステーションは初期化しません")
                       .arg(settingsPath);
        return Result::Refused;
    }

    const QString data = dir + QStringLiteral("/data/");
    QStringList folders { dir, data + QStringLiteral("0000/rcv") };
    for (int terminal = FirstTerminal; terminal <= LastTerminal; ++terminal) {
        const QString id = Comm::terminalId(terminal);
        folders << data + id + QStringLiteral("/rcv") << data + id + QStringLiteral("/snd")
                << data + QStringLiteral("backup/") + id + QStringLiteral("/snd");
    }
    for (const QString &folder : folders) {
        if (!makeFolder(folder, message))
            return Result::Failed;
    }

    const Databases databases = withDefaults(dir, given);
    if (!createDatabase(databases.terminal, MasterSchema::createTerminalTables, message)
        || !createDatabase(databases.maintenance, MasterSchema::createMaintenanceTables, message)) {
        return Result::Failed;
    }

    // Written last, so a folder whose set-up failed can simply be set up again.
    QSaveFile settings(settingsPath);
    if (!settings.open(QIODevice::WriteOnly)
        || settings.write(TextFile::encode(settingsText(dir, databases))) < 0
        || !settings.commit()) {
        *message = QStringLiteral("設定ファイル %1 を書けません（%2）")
                       .arg(settingsPath, settings.errorString());
        return Result::Failed;
    }
    *message = QStringLiteral("ステーション %1 を作成しました").arg(dir);
    return Result::Created;
}
