#pragma once

#include <QString>

namespace Cli {

// What a command's --help says after its usage line: what it does, its
// options and its exit statuses; empty for a command without one. "key show"
// and "key new" share the key command's.
QString commandHelp(const QString &command);

} // namespace Cli
