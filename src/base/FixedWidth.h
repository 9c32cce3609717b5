#pragma once

#include <QString>
#include <QStringView>

// Cutting fields out of a master file line. Positions are 1-based and count
// decoded characters, so a double-byte kanji occupies one position.
namespace FixedWidth {

// The text at positions start .. start + width - 1. Positions past the end of
// the line give shorter or empty text; nothing is padded.
QStringView cut(QStringView line, int start, int width);

// Removes leading and trailing half-width (U+0020) and full-width (U+3000)
// spaces; nothing inside the text changes.
QString trim(const QString &text);
QStringView trim(QStringView text);

// True when the line holds nothing but half-width and full-width spaces.
bool isBlank(const QString &line);

} // namespace FixedWidth
