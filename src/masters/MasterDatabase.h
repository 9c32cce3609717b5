#pragma once

#include "DatabaseConnection.h"

#include <QPair>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace Masters {
struct Definition;
}

// The terminal master database as the update pipeline uses it: one master's
// rows of one terminal at a time, found through the table's unique index on
// (端末ID, key column), written with bound values, read back in key order.
// Statements are plain SQL that any engine with INSERT ... ON CONFLICT takes.
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

    // The terminal's row whose key column holds key, as values of
    // master.terminalColumns(); false when there is none or on failure
    // (error() then says why).
    bool find(const Masters::Definition &master,
              const QString &terminalId,
              const QString &key,
              QStringList *values);

    // Adds the row, or overwrites every column of the row that has the same
    // terminal ID and key. values follow master.terminalColumns(); line is
    // the row's place in its file, for telling which one failed.
    //
    // Rows are sent RowsPerStatement to a statement, each size prepared once
    // per master: on a server that saves a round trip per row. A row may
    // therefore fail at a later save() or at the next read or commit, which
    // send what is pending first. A failure ends the transaction: everything
    // since begin() is undone, and failedLines() tells which rows it was.
    bool save(const Masters::Definition &master, const QStringList &values, int line);
    // Sends the rows still pending.
    bool flush();
    static constexpr int RowsPerStatement = 64;

    // The first and last line of the rows a failed save was in: the same line
    // when it is known which row the database refused.
    QPair<int, int> failedLines() const { return m_failedLines; }

    // Reads the terminal's rows ordered by the key column in code-point order
    // and hands each row to row as one text per group of columns asked for:
    // a group's columns joined by "," (a Null as empty text). A column may be
    // asked for twice. Joining in the database keeps the per-value cost of a
    // wide export down.
    bool readOrdered(const Masters::Definition &master,
                     const QString &terminalId,
                     const QList<QStringList> &groups,
                     const std::function<void(const QStringList &)> &row);

private:
    struct Pending
    {
        QStringList values;
        int line = 0;
    };

    bool fail(const QSqlQuery &query);
    QString orderedByKey(const Masters::Definition &master) const;
    QSqlQuery *saveStatement(int rows);
    bool send(const QList<Pending> &rows);
    void findRefusedRow(const QList<Pending> &rows);

    DatabaseConnection m_connection;
    QString m_error;
    bool m_inTransaction = false;
    QPair<int, int> m_failedLines;
    // The master the pending rows and the prepared statements belong to.
    const Masters::Definition *m_saveMaster = nullptr;
    std::unique_ptr<QSqlQuery> m_saveOne;
    std::unique_ptr<QSqlQuery> m_saveMany;
    QList<Pending> m_pending;
    // Terminal ID and key of the pending rows: one statement must not touch
    // a row twice, so a repeated key sends what is pending first.
    QSet<QString> m_pendingKeys;
    qsizetype m_keyIndex = 0;
};
