#include "StationCore.h"

#include "DatabaseStart.h"
#include "Station.h"
#include "StationLock.h"
#include "StationState.h"
#include "comm/LinkConfig.h"
#include "comm/TransferEvents.h"
#include "masters/MasterScan.h"

StationCore::StationCore(const Comm::Settings &settings,
                         Operator &face,
                         const Clock &clock,
                         UsbUnitFinder findUnits,
                         const LinkOptions &link,
                         Cli::Process process)
    : m_settings(settings)
    , m_log(Cli::stationLog(settings, clock, process))
    , m_logged(face, m_log)
    , m_operator(m_logged, settings.notices == Comm::Settings::Notices::Log)
{
    CommServer::Config config = linkConfig(m_settings, clock);
    if (!link.addresses.isEmpty())
        config.addresses = link.addresses;
    config.link.stepDeadlineMs = link.stepDeadlineMs.value_or(config.link.stepDeadlineMs);
    config.maxWaiting = link.maxWaiting.value_or(config.maxWaiting);
    config.turnWaitMs = link.turnWaitMs.value_or(config.turnWaitMs);
    config.link.sessionGraceMs = link.sessionGraceMs.value_or(config.link.sessionGraceMs);
    m_server = std::make_unique<CommServer>(config, m_operator, std::move(findUnits));
    m_scan = std::make_unique<MasterScan>(m_settings, m_operator, m_log, clock);
    m_station = std::make_unique<Station>(*m_server, m_operator, m_log);
    m_transfers = std::make_unique<TransferEvents>(m_settings, m_operator, m_log, clock);
    m_mastersLock = std::make_unique<StationLock>(m_settings.layout().mastersLockFile());
    m_station->setMasterScan(m_scan.get(), m_mastersLock.get());
    m_station->handleTransfers(*m_transfers);
    m_operator.setStatusLine([this](const QString &text) {
        if (m_station)
            m_station->showNotice(text);
    });
    m_recorder = std::make_unique<StationRecorder>(
        m_settings.layout(), *m_server, *m_transfers, clock, m_log, process);
    QObject::connect(
        m_station.get(), &Station::scanned, m_recorder.get(), &StationRecorder::recordScan);
}

void StationCore::retryDatabases(bool withImport)
{
    m_databases = std::make_unique<DatabaseStart>(m_settings, withImport);
    m_station->setBeforeScan([this] {
        if (!m_databases)
            return;
        if (m_databases->check() != DatabaseStart::Outcome::Ready) {
            m_operator.message(m_databases->problem());
            return;
        }
        m_operator.information(DatabaseStart::Caption,
                               QStringLiteral("データベースに接続しました"));
        for (const QString &line : m_databases->made())
            m_operator.information(DatabaseStart::Caption, line);
        noteMade(m_databases->made());
        m_databases.reset();
    });
}

void StationCore::noteMade(const QStringList &lines)
{
    m_recorder->noteMade(lines);
}

StationCore::~StationCore()
{
    // Each part goes before the parts it watches.
    m_recorder.reset();
    m_transfers.reset();
    m_station.reset();
    m_scan.reset();
    m_mastersLock.reset();
    m_server.reset();
}
