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

} // namespace

MasterDatabase::MasterDatabase() = default;

MasterDatabase::~MasterDatabase()
{
    // A server refuses to free a prepared statement inside a transaction
    // that a failed statement has aborted: the transaction ends first.
    rollback();
    m_bulk.reset();
}

bool MasterDatabase::open(const QString &location)
{
    rollback();
    m_bulk.reset();
    m_error.clear();
    if (!m_connection.openForStation(location, MasterSchema::createTerminalTables)) {
        m_error = m_connection.error();
        return false;
    }
    QString problem;
    m_bulk = Bulk::Upsert::create(m_connection, &problem);
    if (!m_bulk) {
        m_error = QStringLiteral("データベース %1 を使えません（%2）")
                      .arg(DatabaseConnection::displayName(location), problem);
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
    if (m_bulk)
        m_bulk->transactionEnded();
    if (!m_connection.database().commit()) {
        m_error = m_connection.database().lastError().text();
        m_connection.database().rollback();
        return false;
    }
    return true;
}

void MasterDatabase::rollback()
{
    if (m_bulk)
        m_bulk->transactionEnded();
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

bool MasterDatabase::bulkFailed()
{
    m_error = m_bulk->error();
    m_failedLines = m_bulk->failedLines();
    rollback();
    return false;
}

bool MasterDatabase::save(const Masters::Definition &master, const Bulk::Row &row, int line)
{
    if (!m_bulk) {
        m_error = QStringLiteral("データベースが開いていません");
        m_failedLines = { line, line };
        return false;
    }
    return m_bulk->save(master, row, line) || bulkFailed();
}

bool MasterDatabase::flush()
{
    return !m_bulk || m_bulk->flush() || bulkFailed();
}

bool MasterDatabase::readOrdered(const Masters::Definition &master,
                                 const QString &terminalId,
                                 const QStringList &columns,
                                 const Bulk::RowSink &sink)
{
    if (!m_bulk) {
        m_error = QStringLiteral("データベースが開いていません");
        return false;
    }
    if (!flush())
        return false;
    if (m_bulk->readOrdered(master, terminalId, columns, sink))
        return true;
    m_error = m_bulk->error();
    return false;
}
