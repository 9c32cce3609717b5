#include "MasterMenuOpener.h"

#include "MasterMenu.h"

MasterMenuOpener::MasterMenuOpener(const Comm::Settings &settings,
                                   Operator &op,
                                   StationLog &log,
                                   const Clock &clock)
    : m_settings(settings)
    , m_operator(op)
    , m_log(log)
    , m_clock(clock)
{ }

MasterMenuOpener::~MasterMenuOpener()
{
    // The window uses the operator and the log, which go with us.
    delete m_window.data();
}

MasterMenu *MasterMenuOpener::window() const
{
    return m_window;
}

void MasterMenuOpener::show()
{
    // A closed window hides at once and deletes itself soon after; either
    // way a new one loads afresh.
    if (m_window && m_window->isHidden())
        m_window.clear();
    if (!m_window)
        m_window = new MasterMenu(m_settings, m_operator, m_log, m_clock);
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void MasterMenuOpener::close()
{
    if (m_window)
        m_window->close();
}
