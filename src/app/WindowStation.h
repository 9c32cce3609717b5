#pragma once

#include "Comm.h"
#include "Operator.h"
#include "StationLog.h"
#include "comm/CommServer.h"

#include <memory>

class Clock;
class MasterMenuOpener;
class MasterScan;
class MianMenu;
class Station;
class TransferEvents;

// The station with its main window: the control, the station logic and the
// window, wired together for one station folder's settings.
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
    Station &station() { return *m_station; }
    CommServer &server() { return *m_server; }
    StationLog &log() { return m_log; }
    MasterMenuOpener &masterMenu() { return *m_masterMenu; }
    TransferEvents &transfers() { return *m_transfers; }

private:
    Comm::Settings m_settings;
    StationLog m_log;
    LoggedOperator m_operator;
    std::unique_ptr<CommServer> m_server;
    std::unique_ptr<MasterScan> m_scan;
    std::unique_ptr<Station> m_station;
    std::unique_ptr<TransferEvents> m_transfers;
    std::unique_ptr<MianMenu> m_window;
    std::unique_ptr<MasterMenuOpener> m_masterMenu;
};
