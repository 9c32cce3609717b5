#include "WindowStation.h"

#include "MianMenu.h"
#include "Station.h"
#include "comm/LinkConfig.h"
#include "comm/MasterScan.h"
#include "comm/TransferEvents.h"
#include "maintenance/MasterMenuOpener.h"

#include <QApplication>
#include <QPushButton>

WindowStation::WindowStation(const Comm::Settings &settings,
                             Operator &screen,
                             const Clock &clock,
                             UsbUnitFinder findUnits)
    : m_settings(settings)
    , m_log(settings.stationDir, clock)
    , m_operator(screen, m_log)
    , m_server(std::make_unique<CommServer>(linkConfig(settings), m_operator, std::move(findUnits)))
    , m_scan(std::make_unique<MasterScan>(settings, m_operator, m_log))
    , m_station(std::make_unique<Station>(*m_server, m_operator, m_log))
    , m_transfers(std::make_unique<TransferEvents>(m_settings, m_operator, m_log, clock))
    , m_window(std::make_unique<MianMenu>(*m_station))
    , m_masterMenu(std::make_unique<MasterMenuOpener>(m_settings, m_operator, m_log))
{
    QObject::connect(m_window->BtnMaster, &QPushButton::clicked, m_window.get(), [this] {
        m_masterMenu->show();
    });
    m_station->handleTransfers(*m_transfers);
    QString problem;
    linkConfig(m_settings, &problem);
    if (!problem.isEmpty())
        m_log.write(problem);
    m_station->setMasterScan(m_scan.get());
    QObject::connect(m_station.get(), &Station::quitRequested, m_window.get(), [] {
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
}

WindowStation::~WindowStation()
{
    // The windows go first: they watch the station, which watches the control.
    m_masterMenu.reset();
    m_window.reset();
    m_transfers.reset();
    m_station.reset();
    m_scan.reset();
    m_server.reset();
}

bool WindowStation::load()
{
    m_station->load();
    return !m_station->isQuitting();
}
