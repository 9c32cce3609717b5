#pragma once

#include <QFont>
#include <QString>

// The fonts the windows ask for, with the Japanese fonts installed on this
// machine as fallbacks when the named one is missing.
namespace JapaneseFonts {

QFont font(const QString &family, qreal pointSize);

} // namespace JapaneseFonts
