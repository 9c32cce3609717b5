#include "WindowStation.h"

#include "MasterMenuOpener.h"
#include "MianMenu.h"
#include "station/Station.h"

#include <QCoreApplication>
#include <QPushButton>

WindowStation::WindowStation(const Comm::Settings &settings,
                             Operator &screen,
                             const Clock &clock,
                             UsbUnitFinder findUnits)
    : m_core(settings, screen, clock, std::move(findUnits))
    , m_window(std::make_unique<MianMenu>(m_core.station()))
    , m_masterMenu(
          std::make_unique<MasterMenuOpener>(m_core.settings(), m_core.op(), m_core.log(), clock))
{
    QObject::connect(m_window->BtnMaster, &QPushButton::clicked, m_window.get(), [this] {
        m_masterMenu->show();
    });
    // Closing the main window ends the station, whatever else is open; the
    // import window alone may be closed and opened again meanwhile.
    QObject::connect(m_window.get(), &MianMenu::closed, m_window.get(), [this] { end(); });
    // The message telling why stays open: the program shows it before it ends.
    QObject::connect(&m_core.station(), &Station::quitRequested, m_window.get(), [this] {
        m_window->hide();
        end();
    });
}

WindowStation::~WindowStation()
{
    // The windows go first: they watch the station.
    m_masterMenu.reset();
    m_window.reset();
}

void WindowStation::end()
{
    m_core.station().unload();
    m_masterMenu->close();
    QCoreApplication::exit(0);
}

bool WindowStation::load()
{
    m_core.station().load();
    if (m_core.station().isQuitting())
        return false;
    // A window that cannot listen (another station has the port) has said
    // why, and ends rather than count down as if it served terminals.
    if (!m_core.server().Listening()) {
        m_core.station().unload();
        return false;
    }
    return true;
}
