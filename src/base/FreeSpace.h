#pragma once

#include <QString>
#include <QStringList>

namespace Comm {
struct Settings;
}

// The free space the station keeps on every file system it writes to: the
// station folder (settings, log, locks), the data tree, the transfer folder
// and the folder of each database file. A disk filled by what terminals send
// would take the master database and the log down with it, so nothing more
// is taken in once it would leave less than "MINFREE" free there.
class FreeSpaceFloor
{
public:
    explicit FreeSpaceFloor(const Comm::Settings &settings);

    // Why incoming more bytes cannot be taken: the first place where less
    // than the floor would stay free, with its free space and the floor, for
    // the operator and the terminal. Empty when every place has room, when
    // the floor is 0 or when a place cannot be asked (a folder not made yet).
    QString shortage(qint64 incoming = 0) const;

private:
    QStringList m_places;
    qint64 m_floor = 0;
};
