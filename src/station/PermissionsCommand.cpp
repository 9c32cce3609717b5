#include "PermissionsCommand.h"

#include "Cli.h"
#include "base/AccessModel.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Cli {

namespace {

struct Account
{
    uid_t uid = uid_t(-1);
    gid_t gid = gid_t(-1);
};

// The account owning the station folder, when this process may give files to
// it (root); otherwise owners are left as they are.
Account stationAccount(const QString &stationDir)
{
    struct stat status;
    if (geteuid() != 0 || ::stat(QFile::encodeName(stationDir).constData(), &status) != 0)
        return {};
    const struct passwd *entry = getpwuid(status.st_uid);
    return { status.st_uid, entry ? entry->pw_gid : status.st_gid };
}

class Pass
{
public:
    Pass(const Account &station, const AccessModel::HostGroup &host)
        : m_station(station)
        , m_host(host)
    { }

    void folder(const AccessModel::Folder &folder)
    {
        QString error;
        if (!AccessModel::makeFolder(folder, m_host, &error, m_station.uid, m_station.gid))
            fail(error);
        ++m_folders;
    }

    // A file of the station's own, private to its account wherever it lies.
    void own(const QString &path, mode_t mode)
    {
        m_own.append(QDir::cleanPath(path));
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return;
        set(path, mode, m_station.uid, m_station.gid);
    }

    void ownFilesIn(const QString &folder, mode_t mode)
    {
        for (const QString &path : filesIn(folder))
            own(path, mode);
    }

    // Files in a folder the host shares: readable by the host group, and
    // what root left there given back to the station.
    void sharedFilesIn(const QString &folder)
    {
        for (const QString &path : filesIn(folder)) {
            struct stat status;
            if (m_own.contains(QDir::cleanPath(path))
                || ::lstat(QFile::encodeName(path).constData(), &status) != 0)
                continue;
            const uid_t owner = status.st_uid == 0 ? m_station.uid : uid_t(-1);
            set(path,
                (status.st_mode & 0770) | 0040,
                owner,
                m_host.isSet() ? m_host.gid : gid_t(-1));
        }
    }

    int finish() const
    {
        printLine(stdout,
                  QStringLiteral("%1 folders and %2 files set, %3 links left alone, %4 failed")
                      .arg(m_folders)
                      .arg(m_files)
                      .arg(m_links)
                      .arg(m_failed));
        return m_failed == 0 ? 0 : 1;
    }

private:
    static QStringList filesIn(const QString &folder)
    {
        QStringList paths;
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Files | QDir::System | QDir::Hidden))
            paths.append(dir.filePath(name));
        return paths;
    }

    void set(const QString &path, mode_t mode, uid_t owner, gid_t group)
    {
        if (QFileInfo(path).isSymLink()) {
            printLine(stdout, QStringLiteral("left alone, a symbolic link: ") + path);
            ++m_links;
            return;
        }
        QString error;
        if (!AccessModel::apply(path, mode, owner, group, &error))
            fail(error);
        ++m_files;
    }

    void fail(const QString &error)
    {
        printLine(stderr, QStringLiteral("tarvinex: ") + error);
        ++m_failed;
    }

    Account m_station;
    AccessModel::HostGroup m_host;
    QStringList m_own;
    int m_folders = 0;
    int m_files = 0;
    int m_links = 0;
    int m_failed = 0;
};

} // namespace

int permissions(const QStringList &arguments)
{
    const QString usage
        = QStringLiteral("usage: tarvinex permissions [--station-dir DIR] [--host-group GROUP]");
    QCommandLineParser parser;
    const QCommandLineOption hostGroup(
        QStringLiteral("host-group"), QString(), QStringLiteral("GROUP"));
    parser.addOption(stationDirOption());
    parser.addOption(hostGroup);
    if (const int status
        = parseOptionsOnly(parser, QStringLiteral("permissions"), arguments, usage);
        status >= 0)
        return status;
    AccessModel::HostGroup host;
    QString problem;
    if (!AccessModel::findHostGroup(parser.value(hostGroup), &host, &problem))
        return usageError(problem, usage);

    Comm::Settings settings;
    StationChoice station;
    if (!loadSettings(parser, Process::Scan, &settings, &station))
        return 2;
    const StationLayout layout = settings.layout();
    Pass pass(stationAccount(settings.stationDir), host);
    const QList<AccessModel::Folder> folders = AccessModel::folders(layout, settings.importDir);
    for (const AccessModel::Folder &folder : folders)
        pass.folder(folder);

    pass.own(layout.settingsFile(), AccessModel::SettingsMode);
    // The key file in use, else where a key would go.
    pass.own(settings.linkKeyFile.isEmpty() ? layout.linkKeyFile() : settings.linkKeyFile,
             AccessModel::SecretMode);
    for (const QString &database : { settings.DbPath, settings.importDb }) {
        if (database.isEmpty() || Comm::isServerUri(database))
            continue;
        for (const char *suffix : { "", "-journal", "-wal", "-shm" })
            pass.own(database + QLatin1String(suffix), AccessModel::SecretMode);
    }
    for (const QString &lock : { layout.stationLockFile(), layout.mastersLockFile() })
        pass.own(lock, AccessModel::SettingsMode);
    // The station's own files are set above and passed over here, so that a
    // database in the data tree stays private though the host reads the
    // folders around it.
    for (const AccessModel::Folder &folder : folders) {
        if (folder.shared)
            pass.sharedFilesIn(folder.path);
        else if (folder.mode == AccessModel::PrivateFolderMode)
            pass.ownFilesIn(folder.path, AccessModel::SettingsMode);
    }
    return pass.finish();
}

} // namespace Cli
