#pragma once

#include "CommServer.h"

namespace Comm {
struct Settings;
}

// The control's configuration from the station's settings: "PORT", the
// station folder, "MAXFILE" (bytes a terminal may send in one file) and
// "LINKKEY" (the key of the terminals' challenge; none when empty).
// problem receives a message for the operator when a value cannot be used;
// the default is used instead.
CommServer::Config linkConfig(const Comm::Settings &settings, QString *problem = nullptr);
