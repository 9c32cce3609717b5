#include "AccessModel.h"

#include "SafeFile.h"
#include "StationLayout.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AccessModel {

namespace {

QString parentOf(const QString &folder)
{
    return QFileInfo(QDir::cleanPath(folder)).path();
}

bool isWithin(const QString &path, const QString &folder)
{
    return QDir::cleanPath(path).startsWith(QDir::cleanPath(folder) + u'/');
}

bool isMember(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    QList<gid_t> groups(count);
    const int got = getgroups(count, groups.data());
    return got > 0 && groups.first(got).contains(gid);
}

} // namespace

QList<Folder> folders(const StationLayout &layout, const QString &importFolder)
{
    const QString root = QDir::cleanPath(layout.dataRoot());
    QList<Folder> list {
        { parentOf(layout.settingsFile()), StationFolderMode, false },
        { QDir::cleanPath(layout.logFolder()), PrivateFolderMode, false },
        { QDir::cleanPath(layout.transferFolder()), PrivateFolderMode, false },
        { QDir::cleanPath(layout.unfiledFolder()), PrivateFolderMode, false },
        { root, SharedFolderMode, true },
    };
    const auto add = [&](const QString &path, mode_t mode) {
        const QString clean = QDir::cleanPath(path);
        for (const Folder &folder : std::as_const(list)) {
            if (folder.path == clean)
                return;
        }
        list.append({ clean, mode, true });
    };
    // The folders between the data root and a terminal's folders: the host
    // passes through and reads them, but cannot put anything there.
    const auto addWithParents = [&](const QString &path, mode_t mode) {
        QStringList parents;
        for (QString p = parentOf(path); isWithin(p, root); p = parentOf(p))
            parents.prepend(p);
        for (const QString &parent : std::as_const(parents))
            add(parent, SharedFolderMode);
        add(path, mode);
    };
    for (int terminal = StationLayout::FirstTerminal; terminal <= StationLayout::LastTerminal;
         ++terminal) {
        addWithParents(layout.receiveFolder(terminal), HostWritableMode);
        addWithParents(layout.sendFolder(terminal), HostWritableMode);
        addWithParents(layout.keptFolder(terminal), HostWritableMode);
        addWithParents(layout.backupFolder(terminal), SharedFolderMode);
    }
    if (isWithin(importFolder, root))
        addWithParents(importFolder, HostWritableMode);
    else if (!importFolder.isEmpty())
        add(importFolder, HostWritableMode);
    return list;
}

bool findHostGroup(const QString &name, HostGroup *group, QString *error)
{
    *group = HostGroup();
    const QByteArray wanted = name.isEmpty() ? QByteArray(DefaultHostGroup) : name.toLocal8Bit();
    const struct group *entry = getgrnam(wanted.constData());
    if (!entry) {
        if (name.isEmpty())
            return true;
        *error = QStringLiteral("there is no group '%1'").arg(name);
        return false;
    }
    if (geteuid() != 0 && !isMember(entry->gr_gid)) {
        if (name.isEmpty())
            return true;
        *error = QStringLiteral("this account is not a member of the group '%1'").arg(name);
        return false;
    }
    group->name = QString::fromLocal8Bit(wanted);
    group->gid = entry->gr_gid;
    return true;
}

namespace {

// Through the descriptor, so that what was opened is what changes.
bool applyTo(int fd, const QString &path, mode_t mode, uid_t owner, gid_t group, QString *error)
{
    const bool keepsOwners = owner == uid_t(-1) && group == gid_t(-1);
    const bool changed
        = (keepsOwners || ::fchown(fd, owner, group) == 0) && ::fchmod(fd, mode) == 0;
    if (!changed)
        *error = QStringLiteral("%1: %2").arg(path, SafeFile::systemError());
    ::close(fd);
    return changed;
}

// A link in place of a folder is the administrator's (data on another disk)
// when root or the owner of the folder it stands in made it; one that the
// host made where it could write is never followed.
bool isTrustedLink(const QString &path, const struct stat &link)
{
    struct stat parent;
    return link.st_uid == 0
        || (::stat(QFile::encodeName(parentOf(path)).constData(), &parent) == 0
            && parent.st_uid == link.st_uid);
}

} // namespace

bool apply(const QString &path, mode_t mode, uid_t owner, gid_t group, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd
        = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ELOOP ? QStringLiteral("%1: a symbolic link, left alone").arg(path)
                                : QStringLiteral("%1: %2").arg(path, SafeFile::systemError());
        return false;
    }
    return applyTo(fd, path, mode, owner, group, error);
}

bool makeFolder(const Folder &folder,
                const HostGroup &host,
                QString *error,
                uid_t owner,
                gid_t ownGroup)
{
    const QByteArray name = QFile::encodeName(folder.path);
    // The folders above the station's are not the station's: they are made
    // as any other program would make them.
    int made = ::mkdir(name.constData(), folder.mode & 0777);
    if (made != 0 && errno == ENOENT && QDir().mkpath(parentOf(folder.path)))
        made = ::mkdir(name.constData(), folder.mode & 0777);
    if (made != 0 && errno != EEXIST) {
        *error = QStringLiteral("%1: %2").arg(folder.path, SafeFile::systemError());
        return false;
    }
    struct stat link;
    if (::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode)
        && !isTrustedLink(folder.path, link)) {
        *error = QStringLiteral("%1: a symbolic link another account made, left alone")
                     .arg(folder.path);
        return false;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(folder.path, SafeFile::systemError());
        return false;
    }
    const gid_t group = folder.shared && host.isSet() ? host.gid : ownGroup;
    return applyTo(fd, folder.path, folder.mode, owner, group, error);
}

} // namespace AccessModel
