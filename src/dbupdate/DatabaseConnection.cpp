#include "DatabaseConnection.h"

#include <QAtomicInteger>
#include <QFile>
#include <QSqlError>

namespace {

QAtomicInteger<quint64> connectionCounter;

// A non-empty file must start with the SQLite header; anything else (an
// Access database, a text file) is not ours to open, let alone overwrite.
bool looksLikeSqlite(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists() || file.size() == 0)
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("データベース %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    static const QByteArray header("SQLite format 3\0", 16);
    if (file.read(header.size()) != header) {
        *error = QStringLiteral("%1 は SQLite データベースではありません").arg(path);
        return false;
    }
    return true;
}

} // namespace

DatabaseConnection::DatabaseConnection()
    : m_name(QStringLiteral("tarvinex-%1").arg(++connectionCounter))
{ }

DatabaseConnection::~DatabaseConnection()
{
    close();
}

bool DatabaseConnection::open(const QString &path)
{
    close();
    m_error.clear();
    if (path.isEmpty()) {
        m_error = QStringLiteral("データベースのパスが設定されていません");
        return false;
    }
    if (!looksLikeSqlite(path, &m_error))
        return false;
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(path);
    if (!m_db.open()) {
        m_error = QStringLiteral("データベース %1 を開けません（%2）")
                      .arg(path, m_db.lastError().text());
        close();
        return false;
    }
    return true;
}

void DatabaseConnection::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}
