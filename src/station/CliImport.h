#pragma once

#include <QStringList>

namespace Cli {

// tarvinex import [--station-dir DIR] MASTER...: imports each named master's
// file from the import folder into the maintenance database, in the order
// named, one line per master on standard output. 0 when every import went in,
// 1 when one failed (the others still run), 2 for a usage or settings error,
// which imports nothing.
int importMasters(const QStringList &arguments);

} // namespace Cli
