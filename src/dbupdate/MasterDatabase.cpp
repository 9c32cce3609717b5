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
    m_save.reset();
    rollback();
}

bool MasterDatabase::open(const QString &path)
{
    m_save.reset();
    m_saveMaster.clear();
    m_error.clear();
    if (!m_connection.open(path)) {
        m_error = m_connection.error();
        return false;
    }
    QString problem;
    if (!MasterSchema::createTerminalTables(m_connection.database(), &problem)) {
        m_error
            = QStringLiteral("データベース %1 にマスタの表を作れません（%2）").arg(path, problem);
        m_connection.close();
        return false;
    }
    return true;
}

bool MasterDatabase::begin()
{
    if (!m_connection.database().transaction()) {
        m_error = m_connection.database().lastError().text();
        return false;
    }
    m_inTransaction = true;
    return true;
}

bool MasterDatabase::commit()
{
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

bool MasterDatabase::save(const Masters::Definition &master, const QStringList &values)
{
    if (!m_save || m_saveMaster != master.name) {
        // Every column but the two that identify the row is overwritten, so a
        // found row ends up exactly as a new row would.
        const QStringList columns = master.terminalColumns();
        QStringList assignments;
        for (const QString &column : columns) {
            if (column != QString::fromUtf8(Masters::TerminalIdColumn)
                && column != master.keyColumn) {
                assignments.append(quoted(column) + QStringLiteral(" = excluded.")
                                   + quoted(column));
            }
        }
        QStringList placeholders;
        for (int i = 0; i < columns.size(); ++i)
            placeholders.append(QStringLiteral("?"));
        m_save = std::make_unique<QSqlQuery>(m_connection.database());
        m_saveMaster = master.name;
        const QString statement
            = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3) ON CONFLICT (%4, %5) DO %6")
                  .arg(quoted(master.name),
                       quotedList(columns),
                       placeholders.join(QStringLiteral(", ")),
                       terminalIdColumn(),
                       quoted(master.keyColumn),
                       assignments.isEmpty() ? QStringLiteral("NOTHING")
                                             : QStringLiteral("UPDATE SET ")
                               + assignments.join(QStringLiteral(", ")));
        if (!m_save->prepare(statement)) {
            const bool ok = fail(*m_save);
            m_save.reset();
            return ok;
        }
    }
    for (int i = 0; i < values.size(); ++i)
        m_save->bindValue(i, values.at(i));
    if (!m_save->exec())
        return fail(*m_save);
    return true;
}

QString MasterDatabase::orderedByKey(const Masters::Definition &master) const
{
    // SQLite compares text in its stored UTF-8 bytes, which is code-point
    // order. An engine with locale collations needs its plain binary one here.
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
