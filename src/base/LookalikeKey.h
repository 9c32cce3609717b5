#pragma once

#include <QString>
#include <QStringList>

// The known key a written one was surely meant to be: the same letters in
// another case, or a known key of four letters or more with one or two
// letters added, dropped or changed (letter case aside), fewer than the
// written key has. The closest wins; empty when none is close.
QString lookalikeKey(const QString &written, const QStringList &known);
