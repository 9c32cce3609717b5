#pragma once

#include <QStringList>

namespace Cli {

// tarvinex scan [--station-dir DIR]: one master scan now, without windows.
// Prints a line per master file applied (terminal ID, master, lines read, rows
// added, rows updated) and one per failure. Exit status 0 when every file
// found was applied, 1 when any failed, 2 on a usage or settings error.
int scan(const QStringList &arguments);

} // namespace Cli
