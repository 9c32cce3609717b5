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
#include <QSqlQuery>

#include <unistd.h>

namespace {

// What one run of init made, taken away again unless the run completes:
// a failed init leaves the folder as it found it, and never touches a
// folder, file or server schema that was there before.
class Made
{
public:
    ~Made()
    {
        if (m_kept)
            return;
        for (const auto &[uri, schema] : std::as_const(m_schemas)) {
            DatabaseConnection connection;
            if (connection.open(uri))
                QSqlQuery(connection.database())
                    .exec(
                        QStringLiteral("DROP SCHEMA %1 CASCADE").arg(MasterSchema::quoted(schema)));
        }
        for (const QString &file : std::as_const(m_files))
            for (const char *side : { "", "-journal", "-wal", "-shm" })
                QFile::remove(file + QLatin1String(side));
        // Deepest first, and only when empty: nothing of anyone else's goes.
        for (auto folder = m_folders.crbegin(); folder != m_folders.crend(); ++folder)
            ::rmdir(QFile::encodeName(*folder).constData());
    }
    // Before making it: noted only when nothing is there yet.
    void folder(const QString &path)
    {
        if (!QFileInfo::exists(path))
            m_folders.append(path);
    }
    void file(const QString &path)
    {
        if (!QFileInfo::exists(path))
            m_files.append(path);
    }
    void schema(const QString &uri, const QString &name) { m_schemas.append({ uri, name }); }
    void keep() { m_kept = true; }

private:
    QStringList m_folders;
    QStringList m_files;
    QList<std::pair<QString, QString>> m_schemas;
    bool m_kept = false;
};

bool createDatabase(const QString &path,
                    bool (*createTables)(QSqlDatabase &, QString *),
                    QString *message,
                    Made *made)
{
    DatabaseConnection connection;
    QString error;
    if (!Comm::isServerUri(path))
        made->file(path);
    const bool opened = connection.open(path, DatabaseConnection::Missing::Create);
    if (!connection.madeSchema().isEmpty())
        made->schema(path, connection.madeSchema());
    if (!opened || !createTables(connection.database(), &error)) {
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
    if (Comm::isServerUri(value) || !Comm::uriSchemeHint(value).isEmpty())
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

    // A URI whose scheme is misspelt would otherwise be made as a file.
    for (const QString &location : { databases.terminal, databases.maintenance }) {
        const QString hint = Comm::uriSchemeHint(location);
        if (!hint.isEmpty()) {
            *message = hint;
            return Result::Refused;
        }
    }

    Made made;
    // The folders above the station's that init's mkpath will make.
    QStringList above;
    for (QString up = QFileInfo(dir).path(); !QFileInfo::exists(up) && up != QFileInfo(up).path();
         up = QFileInfo(up).path())
        above.prepend(up);
    for (const QString &folder : std::as_const(above))
        made.folder(folder);
    for (const AccessModel::Folder &folder :
         AccessModel::folders(layout, layout.defaultImportFolder())) {
        QString error;
        made.folder(folder.path);
        if (!AccessModel::makeFolder(folder, host, &error)) {
            *message = QStringLiteral("フォルダ %1 を作成できません（%2）").arg(folder.path, error);
            return Result::Failed;
        }
    }

    if (!createDatabase(databases.terminal, MasterSchema::createTerminalTables, message, &made)
        || !createDatabase(
            databases.maintenance, MasterSchema::createMaintenanceTables, message, &made)) {
        return Result::Failed;
    }

    // The key just before the settings: a run that failed on a database
    // leaves no key behind to be refused when it is run again.
    QString error;
    if (keyed)
        made.file(keyPath);
    if (keyed && !Comm::writeLinkKeyFile(keyPath, { options.linkKey, {} }, &error)) {
        *message = error;
        return Result::Failed;
    }

    // Written last, so a folder whose set-up failed can simply be set up again.
    QSaveFile settings(settingsPath);
    made.file(settingsPath);
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
    made.keep();
    *message = QStringLiteral("ステーション %1 を作成しました").arg(dir);
    return Result::Created;
}
