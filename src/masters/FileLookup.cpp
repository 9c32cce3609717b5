#include "FileLookup.h"

#include <QDir>

#include <algorithm>

namespace FileLookup {

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                  | QDir::NoDotAndDotDot);
}

Match ignoringCase(const QString &folder, const QString &fileName)
{
    return ignoringCase(folder, entries(folder), fileName);
}

Match ignoringCase(const QString &folder, const QStringList &entries, const QString &fileName)
{
    const QDir dir(folder);
    QStringList names = entries;
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
