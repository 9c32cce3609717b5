#include "EngineStation.h"

#include "StoredRows.h"
#include "TestDatabases.h"
#include "masters/MasterDatabase.h"

// init makes the terminal database where the engine's location is, on
// either engine.
EngineStation::EngineStation(const QString &root)
    : StationFolder(root,
                    StationInit::Databases {
                        TestDatabases::freshLocation(TestDatabases::engine(), root), QString() })
{ }

qint64 EngineStation::rowCount(const Masters::Definition &master, const QString &terminal) const
{
    MasterDatabase db;
    return db.open(settings.DbPath) ? db.rowCount(master, terminal) : -1;
}

QStringList EngineStation::row(const Masters::Definition &master,
                               const QString &terminal,
                               const QString &key) const
{
    return storedRow(settings.DbPath, master, terminal, key);
}
