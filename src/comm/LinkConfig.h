#pragma once

#include "CommServer.h"

class Clock;
namespace Comm {
struct Settings;
}

// The control's configuration from the station's settings: the addresses and
// port, the station's transfer folder and the names of its own files, the
// largest file a terminal may send, the free space each upload must leave on
// the station's disks, the link keys (a retired one until its time, read on
// clock, which must outlive the control) and whether version-1 terminals are
// taken. The settings were checked when read: every value is used as it is.
CommServer::Config linkConfig(const Comm::Settings &settings, const Clock &clock);

// The addresses TCP listens on.
QList<QHostAddress> listenAddresses(const Comm::Settings &settings);
