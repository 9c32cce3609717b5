#include "BulkStatements.h"

#include "DatabaseConnection.h"
#include "MasterDefinitions.h"
#include "MasterSchema.h"
#include "PostgresBulk.h"
#include "SqliteBulk.h"

#include <QSqlDriver>
#include <QVariant>

namespace Bulk {

namespace {

bool isSqlite(const DatabaseConnection &connection)
{
    return connection.engine() == DatabaseConnection::Engine::SQLite;
}

// The connection's native handle (sqlite3* or PGconn*; Qt names PGconn* by
// its struct: "pg_conn*"); null, with *error set, when the driver gives none.
void *nativeHandle(DatabaseConnection &connection, QString *error)
{
    const QVariant handle = connection.database().driver()->handle();
    const QByteArrayView type(handle.isValid() ? handle.typeName() : nullptr);
    const bool known
        = isSqlite(connection) ? type == "sqlite3*" : type == "PGconn*" || type == "pg_conn*";
    if (known)
        return *static_cast<void *const *>(handle.constData());
    *error = QStringLiteral("データベースのドライバが接続を渡しません");
    return nullptr;
}

} // namespace

std::unique_ptr<Upsert> Upsert::create(DatabaseConnection &connection, QString *error)
{
    void *handle = nativeHandle(connection, error);
    if (!handle)
        return nullptr;
    return isSqlite(connection) ? Sqlite::upsert(handle) : Postgres::upsert(handle);
}

std::unique_ptr<Import> Import::create(DatabaseConnection &connection,
                                       const Masters::Definition &master,
                                       QString *error)
{
    void *handle = nativeHandle(connection, error);
    if (!handle)
        return nullptr;
    return isSqlite(connection) ? Sqlite::import(handle, master, error)
                                : Postgres::import(handle, master, error);
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
