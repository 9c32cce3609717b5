#include "BulkStatements.h"

#include "DatabaseConnection.h"
#include "MasterDefinitions.h"
#include "MasterSchema.h"
#include "PostgresBulk.h"
#include "SqliteBulk.h"

#include <QSqlDriver>
#include <QVariant>

#include <cstring>
#include <initializer_list>

namespace Bulk {

namespace {

// The native handle of the connection, when it is of one of the types
// named (Qt names PGconn* by its struct: "pg_conn*").
void *handleOf(DatabaseConnection &connection, std::initializer_list<const char *> typeNames)
{
    const QVariant handle = connection.database().driver()->handle();
    if (!handle.isValid() || !handle.typeName())
        return nullptr;
    for (const char *typeName : typeNames) {
        if (std::strcmp(handle.typeName(), typeName) == 0)
            return *static_cast<void *const *>(handle.constData());
    }
    return nullptr;
}

} // namespace

std::unique_ptr<Upsert> Upsert::create(DatabaseConnection &connection, QString *error)
{
    if (connection.engine() == DatabaseConnection::Engine::SQLite) {
        if (void *handle = handleOf(connection, { "sqlite3*" }))
            return Sqlite::upsert(handle);
    } else if (void *handle = handleOf(connection, { "PGconn*", "pg_conn*" })) {
        return Postgres::upsert(handle);
    }
    *error = QStringLiteral("データベースのドライバが接続を渡しません");
    return nullptr;
}

std::unique_ptr<Import>
Import::create(DatabaseConnection &connection, const Masters::Definition &master, QString *error)
{
    if (connection.engine() == DatabaseConnection::Engine::SQLite) {
        if (void *handle = handleOf(connection, { "sqlite3*" }))
            return Sqlite::import(handle, master, error);
    } else if (void *handle = handleOf(connection, { "PGconn*", "pg_conn*" })) {
        return Postgres::import(handle, master, error);
    }
    *error = QStringLiteral("データベースのドライバが接続を渡しません");
    return nullptr;
}

QString insertColumns(const QStringList &columns)
{
    QStringList parts;
    for (const QString &column : columns)
        parts.append(MasterSchema::quoted(column));
    return parts.join(QStringLiteral(", "));
}

QString upsertTail(const Masters::Definition &master)
{
    // Every column but the two that identify the row is overwritten, so a
    // found row ends up exactly as a new row would.
    const QString terminalId = QString::fromUtf8(Masters::TerminalIdColumn);
    QStringList assignments;
    for (const QString &column : master.terminalColumns()) {
        if (column != terminalId && column != master.keyColumn) {
            assignments.append(MasterSchema::quoted(column) + QStringLiteral(" = excluded.")
                               + MasterSchema::quoted(column));
        }
    }
    return QStringLiteral(" ON CONFLICT (%1, %2) DO %3")
        .arg(MasterSchema::quoted(terminalId),
             MasterSchema::quoted(master.keyColumn),
             assignments.isEmpty()
                 ? QStringLiteral("NOTHING")
                 : QStringLiteral("UPDATE SET ") + assignments.join(QStringLiteral(", ")));
}

} // namespace Bulk
