#include "FileLookup.h"

#include <QDir>

#include <algorithm>

namespace FileLookup {

Match ignoringCase(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    // Every kind of entry, so that a folder or FIFO with the name is found and
    // refused rather than passed over in silence.
    QStringList names
        = dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    names.erase(std::remove_if(names.begin(),
                               names.end(),
                               [&](const QString &name) {
                                   return name.compare(fileName, Qt::CaseInsensitive) != 0;
                               }),
                names.end());
    std::sort(names.begin(), names.end(), [&](const QString &a, const QString &b) {
        if ((a == fileName) != (b == fileName))
            return a == fileName;
        return a < b;
    });
    Match match;
    if (names.isEmpty())
        return match;
    match.path = dir.filePath(names.takeFirst());
    for (const QString &name : names)
        match.others.append(dir.filePath(name));
    return match;
}

} // namespace FileLookup
