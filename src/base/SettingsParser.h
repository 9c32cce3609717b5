#pragma once

#include <QString>

namespace Comm {

struct Settings;

// Parses the text of a settings file into settings: the rules of LoadSettings
// without the files. Every key has one rule: a value the key does not accept
// refuses the text, naming the line, the key and what it accepts; an empty
// value leaves the default. Unknown keys are skipped, with a warning for one
// that looks like a known key. Relative paths are taken from
// settings->stationDir when it is set, so that a station folder copied
// elsewhere works where it lands.
bool parseSettings(const QString &text, Settings *settings, QString *error);

} // namespace Comm
