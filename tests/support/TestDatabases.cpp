#include "TestDatabases.h"

#include "base/Comm.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace TestDatabases {

namespace {

QAtomicInteger<int> counter;

bool runPgCtl(const QStringList &arguments)
{
    const QString bin = qEnvironmentVariable("TARVINEX_TEST_PG_BIN");
    const QString data = qEnvironmentVariable("TARVINEX_TEST_PG_DATA");
    if (bin.isEmpty() || data.isEmpty())
        return false;
    QStringList command { bin + QStringLiteral("/pg_ctl"),
                          QStringLiteral("-D"),
                          data,
                          QStringLiteral("-l"),
                          data + QStringLiteral("/../server.log") };
    command += arguments;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    // The server refuses to run as root.
    if (::geteuid() == 0) {
        process.start(
            QStringLiteral("runuser"),
            QStringList { QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--") }
                + command);
    } else {
        process.start(command.takeFirst(), command);
    }
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

} // namespace

bool hasServer()
{
    return !serverUri().isEmpty();
}

QString serverUri()
{
    return qEnvironmentVariable("TARVINEX_TEST_PG_URI");
}

QString engine()
{
    return qEnvironmentVariable("TARVINEX_TEST_ENGINE") == PostgreSQL ? PostgreSQL : SQLite;
}

void exitWithoutServer()
{
    if (engine() != PostgreSQL || hasServer())
        return;
    std::fputs("No PostgreSQL server given (TARVINEX_TEST_PG_URI): this run is skipped.\n", stderr);
    std::exit(NoServerExitCode);
}

QString serverLocation(const QString &schema)
{
    QUrl url(serverUri());
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("schema"));
    query.addQueryItem(QStringLiteral("schema"), schema);
    url.setQuery(query);
    return url.toString();
}

QString freshLocation(const QString &engine, const QString &dir, Tables tables)
{
    const int n = ++counter;
    const QString location = engine == PostgreSQL
        ? serverLocation(QStringLiteral("t%1_%2_%3")
                             .arg(QCoreApplication::applicationPid())
                             .arg(n)
                             .arg(QRandomGenerator::global()->bounded(1000000)))
        : dir + QStringLiteral("/db%1.db").arg(n);
    if (tables != Tables::None && !make(location, tables))
        return QString();
    return location;
}

bool make(const QString &location, Tables tables)
{
    DatabaseConnection connection;
    QString error;
    bool made = connection.open(location, DatabaseConnection::Missing::Create);
    if (made && tables == Tables::Terminal)
        made = MasterSchema::createTerminalTables(connection.database(), &error);
    if (made && tables == Tables::Maintenance)
        made = MasterSchema::createMaintenanceTables(connection.database(), &error);
    if (!made)
        qWarning() << "cannot make" << location << connection.error() << error;
    return made;
}

bool execute(const QString &location, const QString &statement)
{
    DatabaseConnection connection;
    if (!connection.open(location)) {
        qWarning() << "cannot open" << location << connection.error();
        return false;
    }
    QSqlQuery query(connection.database());
    if (query.exec(statement))
        return true;
    qWarning() << statement << query.lastError().text();
    return false;
}

bool refuseCategoryBad(const QString &location)
{
    // SQLite cannot add a constraint to a table; a trigger does the same.
    return execute(location,
                   Comm::isServerUri(location)
                       ? QStringLiteral("ALTER TABLE \"BUNMAS\" ADD CONSTRAINT refuse CHECK "
                                        "(\"分類コード\" <> 'BAD ')")
                       : QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON \"BUNMAS\" WHEN "
                                        "NEW.\"分類コード\" = 'BAD ' BEGIN SELECT "
                                        "RAISE(ABORT, 'refused'); END"));
}

bool locationExists(const QString &location)
{
    if (!Comm::isServerUri(location))
        return QFile::exists(location);
    const QString schema = QUrlQuery(QUrl(location)).queryItemValue(QStringLiteral("schema"));
    DatabaseConnection server;
    if (!server.open(serverUri()))
        return false;
    QSqlQuery query(server.database());
    query.prepare(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = ?"));
    query.addBindValue(schema);
    return query.exec() && query.next();
}

bool stopServer()
{
    return runPgCtl({ QStringLiteral("-m"),
                      QStringLiteral("fast"),
                      QStringLiteral("-w"),
                      QStringLiteral("stop") });
}

bool startServer()
{
    return runPgCtl({ QStringLiteral("-w"),
                      QStringLiteral("-t"),
                      QStringLiteral("30"),
                      QStringLiteral("start") });
}

} // namespace TestDatabases
