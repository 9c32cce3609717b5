#include "StationLayout.h"

#include "Comm.h"

#include <algorithm>

namespace {

// The import folder and the maintenance database sit in the data tree under
// the ID no terminal has.
constexpr QLatin1String ImportId("0000");
constexpr QLatin1String BackupFolder("backup");

} // namespace

StationLayout::StationLayout(const QString &stationDir, const QString &dataRoot)
    : m_stationDir(stationDir)
    , m_dataRoot(dataRoot)
{ }

StationLayout::StationLayout(const Comm::Settings &settings)
    : StationLayout(settings.stationDir, settings.DataRoot)
{ }

StationLayout StationLayout::ofNewStation(const QString &stationDir)
{
    return StationLayout(stationDir, join(stationDir, QStringLiteral("data/")));
}

QString StationLayout::join(const QString &folder, const QString &name)
{
    if (folder.isEmpty() || folder.endsWith(u'/'))
        return folder + name;
    return folder + u'/' + name;
}

QString StationLayout::inData(const QString &path) const
{
    return join(m_dataRoot, path);
}

QString StationLayout::settingsFile() const
{
    return inStation(QLatin1String(Comm::SettingsFileName));
}

QString StationLayout::logFolder() const
{
    return inStation(QStringLiteral("log"));
}

QString StationLayout::inStation(const QString &fileName) const
{
    return join(m_stationDir, fileName);
}

QString StationLayout::linkKeyFile() const
{
    return inStation(QStringLiteral("link.key"));
}

QString StationLayout::transferFolder() const
{
    return inStation(QStringLiteral("transfer"));
}

QString StationLayout::inTransfer(const QString &fileName) const
{
    return join(transferFolder(), fileName);
}

QString StationLayout::stagingFolder(int terminal) const
{
    return inTransfer(QStringLiteral(".staged/") + Comm::terminalId(terminal));
}

QString StationLayout::unfiledFolder() const
{
    return inStation(QStringLiteral("unfiled"));
}

QString StationLayout::receiveFolder(const QString &terminalId) const
{
    return inData(terminalId + QStringLiteral("/rcv"));
}

QString StationLayout::receiveFolder(int terminal) const
{
    return receiveFolder(Comm::terminalId(terminal));
}

QString StationLayout::sendFolder(int terminal) const
{
    return inData(Comm::terminalId(terminal) + QStringLiteral("/snd"));
}

QString StationLayout::backupFolder(int terminal) const
{
    return inData(QString(BackupFolder) + u'/' + Comm::terminalId(terminal)
                  + QStringLiteral("/snd"));
}

QString StationLayout::keptFolder(int terminal) const
{
    return inData(Comm::terminalId(terminal) + QStringLiteral("/kept"));
}

QString StationLayout::masterFile(const QString &master, const QString &terminalId) const
{
    return join(receiveFolder(terminalId), masterFileName(master));
}

QString StationLayout::appliedFile(const QString &master, const QString &terminalId) const
{
    return join(receiveFolder(terminalId), appliedFileName(master));
}

QString StationLayout::appliedFile(const QString &master,
                                   const QString &terminalId,
                                   int number) const
{
    return join(receiveFolder(terminalId), master + QStringLiteral(".%1.sav").arg(number));
}

QString StationLayout::exportFile(const QString &master, const QString &terminalId) const
{
    return join(receiveFolder(terminalId), exportFileName(master));
}

QString StationLayout::exportFile(const QString &master, int terminal) const
{
    return exportFile(master, Comm::terminalId(terminal));
}

QString StationLayout::masterFileName(const QString &master)
{
    return master + QStringLiteral(".dat");
}

QString StationLayout::appliedFileName(const QString &master)
{
    return master + QStringLiteral(".sav");
}

QString StationLayout::exportFileName(const QString &master)
{
    return master + QStringLiteral(".csv");
}

bool StationLayout::isMasterEntry(const QString &master, const QString &name)
{
    for (const QString &own :
         { masterFileName(master), appliedFileName(master), exportFileName(master) }) {
        if (name.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    }
    // The numbered applied file: master.N.sav
    const QString prefix = master + u'.';
    const QString suffix = QStringLiteral(".sav");
    if (name.size() <= prefix.size() + suffix.size()
        || !name.startsWith(prefix, Qt::CaseInsensitive)
        || !name.endsWith(suffix, Qt::CaseInsensitive))
        return false;
    const QStringView number
        = QStringView(name).mid(prefix.size(), name.size() - prefix.size() - suffix.size());
    return std::all_of(
        number.begin(), number.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

QStringList StationLayout::dataFolderNames()
{
    QStringList names { ImportId, BackupFolder };
    for (int terminal = FirstTerminal; terminal <= LastTerminal; ++terminal)
        names.append(Comm::terminalId(terminal));
    return names;
}

QString StationLayout::importFileName(const QString &master)
{
    return master + QStringLiteral(".DAT");
}

QString StationLayout::defaultImportFolder() const
{
    return receiveFolder(QString(ImportId));
}

QString StationLayout::defaultTerminalDatabase() const
{
    return inStation(QStringLiteral("tarvinex.db"));
}

QString StationLayout::defaultMaintenanceDatabase() const
{
    return inData(ImportId + QStringLiteral("/MasterConv.db"));
}
