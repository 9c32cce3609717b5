#include "StationLayout.h"

#include "Comm.h"

namespace {

// The import folder and the maintenance database sit in the data tree under
// the ID no terminal has.
constexpr QLatin1String ImportId("0000");

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
    return StationLayout(stationDir, stationDir + QStringLiteral("/data/"));
}

QString StationLayout::settingsFile() const
{
    return inStation(QLatin1String(Comm::SettingsFileName));
}

QString StationLayout::logFolder() const
{
    return m_stationDir + QStringLiteral("/log");
}

QString StationLayout::inStation(const QString &fileName) const
{
    return m_stationDir + u'/' + fileName;
}

QString StationLayout::transferFolder() const
{
    return m_stationDir + QStringLiteral("/transfer");
}

QString StationLayout::inTransfer(const QString &fileName) const
{
    return transferFolder() + u'/' + fileName;
}

QString StationLayout::unfiledFolder() const
{
    return m_stationDir + QStringLiteral("/unfiled/");
}

QString StationLayout::receiveFolder(const QString &terminalId) const
{
    return m_dataRoot + terminalId + QStringLiteral("/rcv/");
}

QString StationLayout::receiveFolder(int terminal) const
{
    return receiveFolder(Comm::terminalId(terminal));
}

QString StationLayout::sendFolder(int terminal) const
{
    return m_dataRoot + Comm::terminalId(terminal) + QStringLiteral("/snd/");
}

QString StationLayout::backupFolder(int terminal) const
{
    return m_dataRoot + QStringLiteral("backup/") + Comm::terminalId(terminal)
        + QStringLiteral("/snd/");
}

QString StationLayout::masterFile(const QString &master, const QString &terminalId) const
{
    return receiveFolder(terminalId) + masterFileName(master);
}

QString StationLayout::appliedFile(const QString &master, const QString &terminalId) const
{
    return receiveFolder(terminalId) + appliedFileName(master);
}

QString StationLayout::appliedFile(const QString &master,
                                   const QString &terminalId,
                                   int number) const
{
    return receiveFolder(terminalId) + master + QStringLiteral(".%1.sav").arg(number);
}

QString StationLayout::exportFile(const QString &master, const QString &terminalId) const
{
    return receiveFolder(terminalId) + exportFileName(master);
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
    return m_dataRoot + ImportId + QStringLiteral("/MasterConv.db");
}

QStringList StationLayout::folders() const
{
    QStringList folders { m_stationDir, transferFolder(), unfiledFolder(), defaultImportFolder() };
    for (int terminal = FirstTerminal; terminal <= LastTerminal; ++terminal)
        folders << receiveFolder(terminal) << sendFolder(terminal) << backupFolder(terminal);
    return folders;
}
