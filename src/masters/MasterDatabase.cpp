#include "MasterDatabase.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <QSqlError>
#include <QVariant>

using MasterSchema::quoted;

namespace {

QString terminalIdColumn()
{
    return quoted(QString::fromUtf8(Masters::TerminalIdColumn));
}

QString quotedList(const QStringList &columns)
{
    QStringList parts;
    for (const QString &column : columns)
        parts.append(quoted(column));
    return parts.join(QStringLiteral(", "));
}

} // namespace

MasterDatabase::MasterDatabase() = default;

MasterDatabase::~MasterDatabase()
{
    // A server refuses to free the prepared statement inside a transaction
    // that a failed statement has aborted: the transaction ends first.
    rollback();
    m_saveOne.reset();
    m_saveMany.reset();
}

bool MasterDatabase::open(const QString &location)
{
    rollback();
    m_saveOne.reset();
    m_saveMany.reset();
    m_saveMaster = nullptr;
    m_error.clear();
    if (!m_connection.open(location)) {
        m_error = m_connection.error();
        return false;
    }
    if (!m_connection.checkTables()) {
        m_error = m_connection.error();
        m_connection.close();
        return false;
    }
    return true;
}

bool MasterDatabase::begin()
{
    m_failedLines = {};
    if (!m_connection.database().transaction()) {
        m_error = m_connection.database().lastError().text();
        return false;
    }
    m_inTransaction = true;
    return true;
}

bool MasterDatabase::commit()
{
    if (!flush())
        return false;
    m_inTransaction = false;
    if (!m_connection.database().commit()) {
        m_error = m_connection.database().lastError().text();
        m_connection.database().rollback();
        return false;
    }
    return true;
}

void MasterDatabase::rollback()
{
    m_pending.clear();
    m_pendingKeys.clear();
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    m_connection.database().rollback();
}

bool MasterDatabase::fail(const QSqlQuery &query)
{
    m_error = query.lastError().text();
    return false;
}

qint64 MasterDatabase::rowCount(const Masters::Definition &master, const QString &terminalId)
{
    if (!flush())
        return -1;
    QSqlQuery query(m_connection.database());
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?")
                      .arg(quoted(master.name), terminalIdColumn()));
    query.addBindValue(terminalId);
    if (!query.exec() || !query.next()) {
        fail(query);
        return -1;
    }
    return query.value(0).toLongLong();
}

bool MasterDatabase::find(const Masters::Definition &master,
                          const QString &terminalId,
                          const QString &key,
                          QStringList *values)
{
    if (!flush())
        return false;
    const QStringList columns = master.terminalColumns();
    QSqlQuery query(m_connection.database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND %4 = ?")
                      .arg(quotedList(columns),
                           quoted(master.name),
                           terminalIdColumn(),
                           quoted(master.keyColumn)));
    query.addBindValue(terminalId);
    query.addBindValue(key);
    if (!query.exec())
        return fail(query);
    if (!query.next()) {
        m_error.clear();
        return false;
    }
    values->clear();
    for (int i = 0; i < columns.size(); ++i)
        values->append(query.value(i).toString());
    return true;
}

QSqlQuery *MasterDatabase::saveStatement(int rows)
{
    std::unique_ptr<QSqlQuery> &statement = rows == 1 ? m_saveOne : m_saveMany;
    if (statement)
        return statement.get();
    // Every column but the two that identify the row is overwritten, so a
    // found row ends up exactly as a new row would.
    const Masters::Definition &master = *m_saveMaster;
    const QStringList columns = master.terminalColumns();
    QStringList assignments;
    for (const QString &column : columns) {
        if (column != QString::fromUtf8(Masters::TerminalIdColumn) && column != master.keyColumn)
            assignments.append(quoted(column) + QStringLiteral(" = excluded.") + quoted(column));
    }
    const QString row
        = u'(' + QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", ")) + u')';
    const QString text = QStringLiteral("INSERT INTO %1 (%2) VALUES %3 ON CONFLICT (%4, %5) DO %6")
                             .arg(quoted(master.name),
                                  quotedList(columns),
                                  QStringList(rows, row).join(QStringLiteral(", ")),
                                  terminalIdColumn(),
                                  quoted(master.keyColumn),
                                  assignments.isEmpty() ? QStringLiteral("NOTHING")
                                                        : QStringLiteral("UPDATE SET ")
                                          + assignments.join(QStringLiteral(", ")));
    auto prepared = std::make_unique<QSqlQuery>(m_connection.database());
    if (!prepared->prepare(text)) {
        fail(*prepared);
        return nullptr;
    }
    statement = std::move(prepared);
    return statement.get();
}

bool MasterDatabase::save(const Masters::Definition &master, const QStringList &values, int line)
{
    if (m_saveMaster != &master) {
        if (!flush())
            return false;
        m_saveOne.reset();
        m_saveMany.reset();
        m_saveMaster = &master;
        m_keyIndex = master.terminalColumns().indexOf(master.keyColumn);
    }
    const QString identity = values.at(0) + QChar(0) + values.at(m_keyIndex);
    if (m_pendingKeys.contains(identity) && !flush())
        return false;
    m_pending.append({ values, line });
    m_pendingKeys.insert(identity);
    return m_pending.size() < RowsPerStatement || flush();
}

bool MasterDatabase::flush()
{
    if (m_pending.isEmpty())
        return true;
    const QList<Pending> rows = m_pending;
    m_pending.clear();
    m_pendingKeys.clear();
    if (send(rows))
        return true;
    rollback();
    return false;
}

bool MasterDatabase::send(const QList<Pending> &rows)
{
    // A full batch goes as one statement; fewer rows go one by one rather
    // than preparing a statement for every size.
    if (rows.size() == RowsPerStatement) {
        QSqlQuery *statement = saveStatement(RowsPerStatement);
        if (!statement) {
            m_failedLines = { rows.first().line, rows.last().line };
            return false;
        }
        int position = 0;
        for (const Pending &row : rows) {
            for (const QString &value : row.values)
                statement->bindValue(position++, value);
        }
        if (statement->exec())
            return true;
        fail(*statement);
        findRefusedRow(rows);
        return false;
    }
    QSqlQuery *statement = saveStatement(1);
    for (const Pending &row : rows) {
        if (!statement) {
            m_failedLines = { row.line, row.line };
            return false;
        }
        for (int i = 0; i < row.values.size(); ++i)
            statement->bindValue(i, row.values.at(i));
        if (!statement->exec()) {
            m_failedLines = { row.line, row.line };
            return fail(*statement);
        }
    }
    return true;
}

void MasterDatabase::findRefusedRow(const QList<Pending> &rows)
{
    m_failedLines = { rows.first().line, rows.last().line };
    // The failed statement has ended the transaction on a server. The rows
    // tried one by one in a transaction of their own, undone after, show the
    // row the database refuses, unless its refusal depended on earlier rows.
    rollback();
    QSqlDatabase &db = m_connection.database();
    if (!db.transaction())
        return;
    QSqlQuery *statement = saveStatement(1);
    for (const Pending &row : rows) {
        if (!statement)
            break;
        for (int i = 0; i < row.values.size(); ++i)
            statement->bindValue(i, row.values.at(i));
        if (!statement->exec()) {
            m_failedLines = { row.line, row.line };
            fail(*statement);
            break;
        }
    }
    db.rollback();
}

QString MasterDatabase::orderedByKey(const Masters::Definition &master) const
{
    // SQLite compares text in its stored UTF-8 bytes, which is code-point
    // order; on PostgreSQL the text columns are created with the "C"
    // collation, which is that order too, whatever the server's default.
    return quoted(master.keyColumn);
}

bool MasterDatabase::readOrdered(const Masters::Definition &master,
                                 const QString &terminalId,
                                 const QList<QStringList> &groups,
                                 const std::function<void(const QStringList &)> &row)
{
    QStringList expressions;
    for (const QStringList &group : groups) {
        QStringList parts;
        for (const QString &column : group)
            parts.append(QStringLiteral("COALESCE(%1, '')").arg(quoted(column)));
        expressions.append(parts.join(QStringLiteral(" || ',' || ")));
    }
    if (!flush())
        return false;
    QSqlQuery query(m_connection.database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? ORDER BY %4")
                      .arg(expressions.join(QStringLiteral(", ")),
                           quoted(master.name),
                           terminalIdColumn(),
                           orderedByKey(master)));
    query.addBindValue(terminalId);
    if (!query.exec())
        return fail(query);
    QStringList values;
    values.reserve(groups.size());
    while (query.next()) {
        values.clear();
        for (int i = 0; i < groups.size(); ++i)
            values.append(query.value(i).toString());
        row(values);
    }
    if (query.lastError().isValid())
        return fail(query);
    return true;
}
