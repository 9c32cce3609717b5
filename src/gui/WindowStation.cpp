#include "WindowStation.h"

#include "MasterMenuOpener.h"
#include "MianMenu.h"
#include "station/Station.h"

#include <QApplication>
#include <QPushButton>

WindowStation::WindowStation(const Comm::Settings &settings,
                             Operator &screen,
                             const Clock &clock,
                             UsbUnitFinder findUnits)
    : m_core(settings, screen, clock, std::move(findUnits))
    , m_window(std::make_unique<MianMenu>(m_core.station()))
    , m_masterMenu(std::make_unique<MasterMenuOpener>(m_core.settings(), m_core.op(), m_core.log()))
{
    if (!m_core.settingsProblem().isEmpty())
        m_core.log().write(m_core.settingsProblem());
    QObject::connect(m_window->BtnMaster, &QPushButton::clicked, m_window.get(), [this] {
        m_masterMenu->show();
    });
    QObject::connect(&m_core.station(), &Station::quitRequested, m_window.get(), [] {
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
}

WindowStation::~WindowStation()
{
    // The windows go first: they watch the station.
    m_masterMenu.reset();
    m_window.reset();
}

bool WindowStation::load()
{
    m_core.station().load();
    return !m_core.station().isQuitting();
}
