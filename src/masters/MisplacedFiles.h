#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class StationLayout;

// What the host seems to have meant for the station but put where or under a
// name the station never takes: a master file with another extension or a
// date in its name, a terminal folder that no terminal has. Names starting
// with "." (a writer's temporary files) are nobody's mistake.
namespace MisplacedFiles {

struct Entry
{
    QString path;
    // The name the station would take instead; empty for a folder that is
    // not one of the data root's own.
    QString meant;
};

// Entries of a receive folder whose names start with a master's name but
// are none of its names there.
QList<Entry> inReceiveFolder(const QString &folder, const QStringList &entries);

// Folders in the data root other than the terminals', the import ID's and the
// backups'.
QList<Entry> inDataRoot(const StationLayout &layout);

} // namespace MisplacedFiles
