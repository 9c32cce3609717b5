#pragma once

#include "station/StationCore.h"

#include <memory>

class Clock;
class MasterMenuOpener;
class MianMenu;

// The station with its main window: the core of one station folder and the
// windows that show it.
class WindowStation
{
public:
    WindowStation(const Comm::Settings &settings,
                  Operator &screen,
                  const Clock &clock,
                  UsbUnitFinder findUnits = systemUsbUnits);
    ~WindowStation();

    // Runs the window's load; false when the program is to end at once
    // because the operator declined to choose a USB unit.
    bool load();

    MianMenu &window() { return *m_window; }
    StationCore &core() { return m_core; }
    Station &station() { return m_core.station(); }
    CommServer &server() { return m_core.server(); }
    StationLog &log() { return m_core.log(); }
    TransferEvents &transfers() { return m_core.transfers(); }
    MasterMenuOpener &masterMenu() { return *m_masterMenu; }

private:
    // Stops listening and polling, closes the import window and leaves the
    // event loop.
    void end();

    StationCore m_core;
    std::unique_ptr<MianMenu> m_window;
    std::unique_ptr<MasterMenuOpener> m_masterMenu;
};
