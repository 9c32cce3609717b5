#pragma once

#include <QList>
#include <QString>

#include <sys/types.h>

class StationLayout;

// Who may touch what in a station. The station's own account owns everything;
// the host system's accounts, gathered in a group of their own, may drop
// master files into the receive and import folders, take orders from the send
// folders and read the backups, and nothing else: not the settings, the link
// key, the databases, transfer/, unfiled/ or the log. The folders they share
// are set-group-ID, so that files made by either side keep the host group, and
// the host cannot write above a receive folder, so it cannot put a link in
// place of one.
namespace AccessModel {

// Every command sets it at start, so that what any of them creates has the
// model's modes whoever starts it: files 0640, folders 0750.
inline constexpr mode_t Umask = 0027;

inline constexpr mode_t StationFolderMode = 0751; // others may pass through to data/
inline constexpr mode_t PrivateFolderMode = 0750; // transfer/, unfiled/, log/
inline constexpr mode_t SharedFolderMode = 02750; // the data tree and the backups: host reads
inline constexpr mode_t HostWritableMode = 02770; // rcv/, snd/, the import folder
inline constexpr mode_t SettingsMode = 0640;
inline constexpr mode_t SecretMode = 0600; // the link key and database files
inline constexpr mode_t SharedFileMode = 0640;

// The group the package makes for the host's accounts.
inline constexpr const char *DefaultHostGroup = "tarvinex-host";

struct Folder
{
    QString path;
    mode_t mode;
    // Given to the host group (when the station has one).
    bool shared;
};

// Every folder of a station with its mode, parents before children: the
// station folder, its private folders, the data tree and the import folder.
QList<Folder> folders(const StationLayout &layout, const QString &importFolder);

struct HostGroup
{
    QString name;
    // -1 when the station has no host group: the shared folders then keep
    // the station's own group and only the modes apply.
    gid_t gid = gid_t(-1);
    bool isSet() const { return gid != gid_t(-1); }
};

// The host group named, or without a name the package's group when it exists
// and this process may give folders to it (root, or a member). A name that is
// no group, or one this process may not use, is an error naming it.
bool findHostGroup(const QString &name, HostGroup *group, QString *error);

// Gives path its mode and, when given (not -1), its owner and group. A
// symbolic link at path is never followed: it is refused, so that a link the
// host placed cannot turn a change meant for its folder onto a station file
// or a system file. error names the path and the reason.
bool apply(const QString &path, mode_t mode, uid_t owner, gid_t group, QString *error);

// Makes the folder when it is missing, then applies its mode, and the host
// group to a shared folder. owner and ownGroup, when given, go to the folder
// (ownGroup only where the host group does not). A link in place of the
// folder is followed only when root or the owner of the folder it stands in
// made it (data on another disk).
bool makeFolder(const Folder &folder,
                const HostGroup &host,
                QString *error,
                uid_t owner = uid_t(-1),
                gid_t ownGroup = gid_t(-1));

} // namespace AccessModel
