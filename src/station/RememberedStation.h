#pragma once

#include <QString>

// The station folder the window made a station in, kept in the user's config
// folder ($XDG_CONFIG_HOME/tarvinex/station), so that the next start from the
// desktop, which names no folder, opens that station rather than offering a
// new one in the default folder.
namespace RememberedStation {

QString file();

// The remembered folder while it still holds a station; empty otherwise, so
// that a folder since removed falls back to the default and its offer. The
// entry itself stays: a disk not yet mounted may bring the station back.
QString read();

// Remembers dir (absolute) for the next start; false with why on failure.
bool write(const QString &dir, QString *why);

} // namespace RememberedStation
