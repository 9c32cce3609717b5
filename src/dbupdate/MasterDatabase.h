#pragma once

#include "DatabaseConnection.h"

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

    // Opens the database and creates the master tables it lacks, so a new
    // database file just works.
    bool open(const QString &path);
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
    // terminal ID and key. values follow master.terminalColumns(). The
    // statement is prepared once per master and reused for every row.
    bool save(const Masters::Definition &master, const QStringList &values);

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
    bool fail(const QSqlQuery &query);
    QString orderedByKey(const Masters::Definition &master) const;

    DatabaseConnection m_connection;
    QString m_error;
    bool m_inTransaction = false;
    // The prepared insert-or-update and the master it belongs to.
    QString m_saveMaster;
    std::unique_ptr<QSqlQuery> m_save;
};
