#include "WindowStation.h"

#include "MianMenu.h"
#include "Station.h"
#include "comm/MasterScan.h"

#include <QApplication>

WindowStation::WindowStation(const Comm::Settings &settings,
                             Operator &screen,
                             const Clock &clock,
                             UsbUnitFinder findUnits)
    : m_settings(settings)
    , m_log(settings.stationDir, clock)
    , m_operator(screen, m_log)
    , m_server(std::make_unique<CommServer>(CommServer::Config { QHostAddress::Any, settings.port },
                                            m_operator,
                                            std::move(findUnits)))
    , m_scan(std::make_unique<MasterScan>(settings, m_operator, m_log))
    , m_station(std::make_unique<Station>(*m_server, m_operator, m_log))
    , m_window(std::make_unique<MianMenu>(*m_station))
{
    m_station->setMasterScan(m_scan.get());
    QObject::connect(m_station.get(), &Station::quitRequested, m_window.get(), [] {
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
}

WindowStation::~WindowStation()
{
    // The window goes first: it watches the station, which watches the control.
    m_window.reset();
    m_station.reset();
    m_scan.reset();
    m_server.reset();
}

bool WindowStation::load()
{
    m_station->load();
    return !m_station->isQuitting();
}
