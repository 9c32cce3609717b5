#include "LookalikeKey.h"

#include <QList>

#include <algorithm>

namespace {

// Beyond two edits a key is another word, not a typing slip.
constexpr qsizetype MaxEdits = 2;
// Short keys are two edits away from too many others to guess between.
constexpr qsizetype MinKnownLength = 4;

// Letters added, dropped or changed to turn a into b; MaxEdits + 1 for more.
qsizetype editDistance(QStringView a, QStringView b)
{
    if (qAbs(a.size() - b.size()) > MaxEdits)
        return MaxEdits + 1;
    QList<qsizetype> previous(b.size() + 1);
    QList<qsizetype> current(b.size() + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        previous[j] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype change = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({ previous[j] + 1, current[j - 1] + 1, change });
        }
        std::swap(previous, current);
    }
    return previous[b.size()];
}

} // namespace

QString lookalikeKey(const QString &written, const QStringList &known)
{
    const QString folded = written.toUpper();
    QString best;
    qsizetype bestDistance = MaxEdits + 1;
    for (const QString &key : known) {
        const QString other = key.toUpper();
        if (other == folded)
            return key;
        if (key.size() < MinKnownLength)
            continue;
        // "AT" is two edits from "DATA" but no attempt at it.
        const qsizetype distance = editDistance(folded, other);
        if (distance < bestDistance && distance < written.size()) {
            bestDistance = distance;
            best = key;
        }
    }
    return best;
}
