#pragma once

#include <QStringList>

namespace Cli {

// tarvinex serve [--station-dir DIR] [--port N] [--listen ADDRESSES]: the
// station without windows. It listens at once (on the USB unit the "UNIT"
// setting names, if any), writes every text the window would show to
// standard output, one line each, and to the station log, and runs until
// SIGINT or SIGTERM.
int serve(const QStringList &arguments);

} // namespace Cli
