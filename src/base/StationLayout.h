#pragma once

#include <QString>
#include <QStringList>

namespace Comm {
struct Settings;
}

// Where a station keeps its files. Every path of the station folder and of the
// data folder tree is spelled here and nowhere else: init lays out what the
// update, the scan, filing and the link then look for, so they cannot drift
// apart and leave a terminal without its masters.
//
// A folder is named without a trailing "/"; a file in it is join(folder, name).
// The one folder that keeps its "/" is the data root as the settings give it.
class StationLayout
{
public:
    // The terminals a station serves: each has its folders and is scanned.
    static constexpr int FirstTerminal = 1;
    static constexpr int LastTerminal = 11;

    // stationDir without a trailing separator; dataRoot ending with "/".
    StationLayout(const QString &stationDir, const QString &dataRoot);
    explicit StationLayout(const Comm::Settings &settings);
    // A new station keeps its data tree in "data/" of the station folder.
    static StationLayout ofNewStation(const QString &stationDir);

    QString dataRoot() const { return m_dataRoot; }

    // A name in a folder: folder + "/" + name; a folder that already ends
    // with "/" (the file system's root, the data root) takes the name as it is,
    // and no folder leaves the name alone.
    static QString join(const QString &folder, const QString &name);

    QString settingsFile() const;
    QString logFolder() const;
    // Lock files: one held by the running station (window or serve) for its
    // life, one held by whoever applies or imports master files meanwhile.
    QString stationLockFile() const { return inStation(QStringLiteral("tarvinex-station.lock")); }
    QString mastersLockFile() const { return inStation(QStringLiteral("tarvinex-masters.lock")); }
    // What one-shot scans have named to the host today.
    QString namedTodayFile() const { return inStation(QStringLiteral("tarvinex-named.txt")); }
    // A file in the station folder itself (settings, databases, locks).
    QString inStation(const QString &fileName) const;
    // The link key's own file, beside the settings and readable by the
    // station's account alone, so the settings carry no secret.
    QString linkKeyFile() const;
    // The folder terminals' files are received into and master exports are
    // staged in for sending. It holds nothing of the station's own, so no
    // name a terminal sends can land on or beside the settings, a database
    // or any side file of one (-journal, -wal, -shm), or the log.
    QString transferFolder() const;
    QString inTransfer(const QString &fileName) const;
    // Where a terminal's masters are staged for its fetch, one folder per
    // terminal in the transfer folder, under a name no terminal can send: only
    // the terminal's own control file changes what is there.
    QString stagingFolder(int terminal) const;
    // Where a received file whose filing failed is kept, under a name no
    // later upload can take.
    QString unfiledFolder() const;

    // A terminal's folders: master files in and their exports out; the latest
    // order and stocktaking files; every one of them, time-stamped.
    QString receiveFolder(const QString &terminalId) const;
    QString receiveFolder(int terminal) const;
    QString sendFolder(int terminal) const;
    QString backupFolder(int terminal) const;
    // Files the terminal sent that the station does not file (any name but
    // the order, stocktaking and control files'), kept time-stamped.
    QString keptFolder(int terminal) const;

    // A master's files in a terminal's receive folder: the master file, its
    // name once applied, and the CSV export.
    QString masterFile(const QString &master, const QString &terminalId) const;
    QString appliedFile(const QString &master, const QString &terminalId) const;
    // A further applied file, numbered from 1, for when the last one cannot be
    // replaced: "BUNMAS.1.sav".
    QString appliedFile(const QString &master, const QString &terminalId, int number) const;
    QString exportFile(const QString &master, const QString &terminalId) const;
    QString exportFile(const QString &master, int terminal) const;

    static QString masterFileName(const QString &master);
    static QString appliedFileName(const QString &master);
    static QString exportFileName(const QString &master);
    // The manual import's file of a master, in the import folder.
    static QString importFileName(const QString &master);
    // Whether name, in any letter case, is one of master's names in a receive
    // folder: its master file, its applied file (numbered or not) or its export.
    static bool isMasterEntry(const QString &master, const QString &name);

    // Every folder the data root holds: each terminal's, the import ID's and
    // the backups'.
    static QStringList dataFolderNames();

    // Where the settings put nothing else.
    QString defaultImportFolder() const;
    QString defaultTerminalDatabase() const;
    QString defaultMaintenanceDatabase() const;

private:
    // A path below the data root, given relative to it.
    QString inData(const QString &path) const;

    QString m_stationDir;
    QString m_dataRoot;
};
