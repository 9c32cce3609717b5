#pragma once

#include "BulkStatements.h"
#include "DatabaseConnection.h"

#include <QPair>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <memory>

namespace Masters {
struct Definition;
}

// The terminal master database as the update pipeline uses it: one master's
// rows of one terminal at a time, found through the table's unique index on
// (端末ID, key column), written with bound values, read back in key order.
// Qt SQL connects, makes the tables and runs the transactions; the rows go
// through the engine's own interface (Bulk::Upsert). Statements are plain SQL
// that any engine with INSERT ... ON CONFLICT takes.
class MasterDatabase
{
public:
    MasterDatabase();
    ~MasterDatabase();
    MasterDatabase(const MasterDatabase &) = delete;
    MasterDatabase &operator=(const MasterDatabase &) = delete;

    // Opens the database, which must have the master tables "tarvinex init"
    // makes.
    bool open(const QString &location);
    QString error() const { return m_error; }

    bool begin();
    bool commit();
    // Undoes everything since begin(); harmless when no transaction is open.
    void rollback();

    // How many rows the terminal has in the master's table; -1 on failure.
    qint64 rowCount(const Masters::Definition &master, const QString &terminalId);

    // Adds the row, or overwrites every column of the row that has the same
    // terminal ID and key. values follow master.terminalColumns(); line is
    // the row's place in its file, for telling which one failed.
    //
    // The rows go through the engine's native interface (Bulk::Upsert): on
    // SQLite one prepared statement stepped per row; on a server in batches
    // streamed with COPY, the first Bulk::Postgres::FirstBatchRows rows, each
    // next batch twice the last. A row may therefore fail at a later save()
    // or at the next read or commit, which send what is pending first. A
    // failure ends the transaction: everything since begin() is undone, and
    // failedLines() tells which rows it was.
    bool save(const Masters::Definition &master, const Bulk::Row &row, int line);
    // Sends the rows still pending.
    bool flush();

    // The first and last line of the rows a failed save was in: the same line
    // when it is known which row the database refused.
    QPair<int, int> failedLines() const { return m_failedLines; }

    // Reads the terminal's rows ordered by the key column in code-point order
    // and hands each row to sink as one UTF-8 view per column asked for (a
    // Null as empty text). A column may be asked for twice.
    bool readOrdered(const Masters::Definition &master,
                     const QString &terminalId,
                     const QStringList &columns,
                     const Bulk::RowSink &sink);

private:
    bool fail(const QSqlQuery &query);
    bool bulkFailed();

    DatabaseConnection m_connection;
    // Declared after the connection: its statements go before the connection.
    std::unique_ptr<Bulk::Upsert> m_bulk;
    QString m_error;
    bool m_inTransaction = false;
    QPair<int, int> m_failedLines;
};
