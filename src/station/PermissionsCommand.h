#pragma once

#include <QStringList>

namespace Cli {

// tarvinex permissions [--station-dir DIR] [--host-group GROUP]: brings an
// existing station to the access model, as init lays out a new one: each
// folder's mode and group, the station's own files (settings, link key,
// databases, locks, log, transfer/, unfiled/) private to its account, the
// files of the host's folders readable by the host group. Run as root it also
// gives the station's account back what root made there. A link found in a
// folder is left alone and named. Exit status 0 when everything holds the
// model, 1 when something could not be changed, 2 on a usage or settings error.
int permissions(const QStringList &arguments);

} // namespace Cli
