#include "StationCore.h"

#include "Station.h"
#include "comm/LinkConfig.h"
#include "masters/MasterScan.h"
#include "comm/TransferEvents.h"

StationCore::StationCore(const Comm::Settings &settings,
                         Operator &face,
                         const Clock &clock,
                         UsbUnitFinder findUnits)
    : m_settings(settings)
    , m_log(settings.stationDir, clock)
    , m_operator(face, m_log)
{
    m_server = std::make_unique<CommServer>(
        linkConfig(m_settings, &m_settingsProblem), m_operator, std::move(findUnits));
    m_scan = std::make_unique<MasterScan>(m_settings, m_operator, m_log);
    m_station = std::make_unique<Station>(*m_server, m_operator, m_log);
    m_transfers = std::make_unique<TransferEvents>(m_settings, m_operator, m_log, clock);
    m_station->setMasterScan(m_scan.get());
    m_station->handleTransfers(*m_transfers);
}

StationCore::~StationCore()
{
    // Each part goes before the parts it watches.
    m_transfers.reset();
    m_station.reset();
    m_scan.reset();
    m_server.reset();
}
