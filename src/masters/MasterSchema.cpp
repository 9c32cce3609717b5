#include "MasterSchema.h"

#include "MasterDefinitions.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace MasterSchema {

namespace {

// Codes sort and compare by code point on every engine: a server's own
// collation would order the exports differently from one shop to the next.
QString textType(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL") ? QStringLiteral(" TEXT COLLATE \"C\"")
                                                     : QStringLiteral(" TEXT");
}

QString columnList(const QSqlDatabase &db, const QStringList &columns)
{
    QStringList parts;
    for (const QString &column : columns)
        parts.append(quoted(column) + textType(db));
    return parts.join(QStringLiteral(", "));
}

bool run(QSqlDatabase &db, const QStringList &statements, QString *error)
{
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    for (const QString &statement : statements) {
        QSqlQuery query(db);
        if (!query.exec(statement)) {
            *error = query.lastError().text();
            db.rollback();
            return false;
        }
    }
    if (!db.commit()) {
        *error = db.lastError().text();
        return false;
    }
    return true;
}

} // namespace

QString quoted(const QString &identifier)
{
    QString escaped = identifier;
    escaped.replace(u'"', QStringLiteral("\"\""));
    return u'"' + escaped + u'"';
}

bool findMissingTables(QSqlDatabase &db, QStringList *missing, QString *error)
{
    const bool server = db.driverName() == QLatin1String("QPSQL");
    // On a server, looked up along the search path the connection selected.
    QSqlQuery lookup(db);
    lookup.setForwardOnly(true);
    if (!lookup.prepare(server ? QStringLiteral("SELECT to_regclass(?) IS NOT NULL")
                               : QStringLiteral("SELECT EXISTS (SELECT 1 FROM sqlite_master "
                                                "WHERE type = 'table' AND name = ?)"))) {
        *error = lookup.lastError().text();
        return false;
    }
    missing->clear();
    for (const Masters::Definition &master : Masters::all()) {
        lookup.addBindValue(server ? quoted(master.name) : master.name);
        if (!lookup.exec() || !lookup.next()) {
            *error = lookup.lastError().text();
            return false;
        }
        if (!lookup.value(0).toBool())
            missing->append(master.name);
        lookup.finish();
    }
    return true;
}

bool createTerminalTables(QSqlDatabase &db, QString *error)
{
    const QString terminalId = quoted(QString::fromUtf8(Masters::TerminalIdColumn));
    QStringList statements;
    for (const Masters::Definition &master : Masters::all()) {
        statements.append(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2, UNIQUE (%3, %4))")
                              .arg(quoted(master.name),
                                   columnList(db, master.terminalColumns()),
                                   terminalId,
                                   quoted(master.keyColumn)));
    }
    return run(db, statements, error);
}

bool createMaintenanceTables(QSqlDatabase &db, QString *error)
{
    QStringList statements;
    for (const Masters::Definition &master : Masters::all()) {
        statements.append(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)")
                              .arg(quoted(master.name), columnList(db, master.importColumns())));
        statements.append(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3)")
                              .arg(quoted(master.name + QStringLiteral("_key")),
                                   quoted(master.name),
                                   quoted(master.keyColumn)));
    }
    return run(db, statements, error);
}

} // namespace MasterSchema
