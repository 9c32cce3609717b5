#pragma once

#include <QString>
#include <QStringList>

class QSqlDatabase;

// Creates the master tables a database lacks. Every column holds text.
namespace MasterSchema {

// The terminal database: per master 端末ID and the update's columns, one row
// per terminal ID and key.
bool createTerminalTables(QSqlDatabase &db, QString *error);

// The maintenance database: per master the import's columns in insert order,
// no terminal ID, indexed by the code the import deletes by.
bool createMaintenanceTables(QSqlDatabase &db, QString *error);

// Lists in missing the master tables the database lacks; both databases have
// one table per master, named by it.
bool findMissingTables(QSqlDatabase &db, QStringList *missing, QString *error);

QString quoted(const QString &identifier);

} // namespace MasterSchema
