#include "MisplacedFiles.h"

#include "MasterDefinitions.h"
#include "base/StationLayout.h"

#include <QDir>

namespace MisplacedFiles {

QList<Entry> inReceiveFolder(const QString &folder, const QStringList &entries)
{
    QList<Entry> found;
    for (const QString &name : entries) {
        if (name.startsWith(u'.'))
            continue;
        for (const Masters::Definition &master : Masters::all()) {
            if (name.startsWith(master.name, Qt::CaseInsensitive)
                && !StationLayout::isMasterEntry(master.name, name))
                found.append({ StationLayout::join(folder, name),
                               StationLayout::masterFileName(master.name) });
        }
    }
    return found;
}

QList<Entry> inDataRoot(const StationLayout &layout)
{
    QList<Entry> found;
    const QStringList own = StationLayout::dataFolderNames();
    const QStringList folders
        = QDir(layout.dataRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : folders) {
        // A data root on a disk of its own has the file system's folder.
        if (!own.contains(name) && name != QLatin1String("lost+found"))
            found.append({ StationLayout::join(layout.dataRoot(), name), QString() });
    }
    return found;
}

} // namespace MisplacedFiles
