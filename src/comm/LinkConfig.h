#pragma once

#include "CommServer.h"

namespace Comm {
struct Settings;
}

// The control's configuration from the station's settings: the port, the
// station's transfer folder and the names of its own files, the largest file
// a terminal may send, the free space each upload must leave on the station's
// disks and the key of the terminals' challenge (none when empty). The
// settings were checked when read: every value is used as it is.
CommServer::Config linkConfig(const Comm::Settings &settings);

// The addresses TCP listens on.
QList<QHostAddress> listenAddresses(const Comm::Settings &settings);
