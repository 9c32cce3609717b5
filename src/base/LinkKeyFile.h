#pragma once

#include <QString>

namespace Comm {

struct Settings;

// Settles where the link key lives and reads it into settings->linkKey. Its
// home is a file of its own, readable by the station's account alone:
// link.key beside the settings, or the file "LINKKEYFILE" names. An older
// station's "LINKKEY" still works, with a warning when other accounts can read
// the settings. Refuses, naming the files, a key file that cannot be read or
// holds no key, and a key given in both places; warns of a key file that
// other accounts may read or write.
bool loadLinkKey(Settings *settings, QString *error);

} // namespace Comm
