#pragma once

#include <QString>

class QSqlDatabase;

// Creates the master tables a database lacks. Every column holds text.
namespace MasterSchema {

// The terminal database: per master 端末ID and the update's columns, one row
// per terminal ID and key.
bool createTerminalTables(QSqlDatabase &db, QString *error);

// The maintenance database: per master the import's columns in insert order,
// no terminal ID, indexed by the code the import deletes by.
bool createMaintenanceTables(QSqlDatabase &db, QString *error);

QString quoted(const QString &identifier);

} // namespace MasterSchema
