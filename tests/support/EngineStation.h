#pragma once

#include "StationFolder.h"
#include "masters/MasterDefinitions.h"

// A station folder whose terminal database is a new one on the run's engine
// (TestDatabases::engine()), as the master suites start each test with, and
// the rows an update left there.
class EngineStation : public StationFolder
{
public:
    explicit EngineStation(const QString &root);

    // The rows of the master for the terminal; -1 when the database cannot
    // be opened.
    qint64 rowCount(const Masters::Definition &master, const QString &terminal) const;
    // The row of the key, in the order of terminalColumns(); empty when
    // missing.
    QStringList row(const Masters::Definition &master,
                    const QString &terminal,
                    const QString &key) const;
};
