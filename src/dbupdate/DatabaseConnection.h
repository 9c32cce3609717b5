#pragma once

#include <QSqlDatabase>
#include <QString>

// One connection to a master database, named uniquely and removed again when
// the object goes, so that every procedure can open its own.
class DatabaseConnection
{
public:
    DatabaseConnection();
    ~DatabaseConnection();
    DatabaseConnection(const DatabaseConnection &) = delete;
    DatabaseConnection &operator=(const DatabaseConnection &) = delete;

    // Opens the database file at path, creating it when missing. A file that
    // is not an SQLite database is refused and left untouched.
    bool open(const QString &path);
    void close();

    QSqlDatabase &database() { return m_db; }
    QString error() const { return m_error; }

private:
    QString m_name;
    QSqlDatabase m_db;
    QString m_error;
};
