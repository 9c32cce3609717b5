#pragma once

#include <QString>
#include <QStringList>

// The database engines the master suites run against: SQLite always, and a
// PostgreSQL server when the test run has one (scripts/with-postgres starts a
// throw-away cluster and names it in TARVINEX_TEST_PG_URI).
namespace TestDatabases {

inline const QString SQLite = QStringLiteral("sqlite");
inline const QString PostgreSQL = QStringLiteral("postgresql");

QStringList engines();
// Adds an "engine" column with a row per engine to the current test data.
void addEngineRows();
bool hasServer();
QString serverUri();

// Which master tables a database is made with, as "tarvinex init" makes them.
enum class Tables { None, Terminal, Maintenance };

// A new database of the engine: a file in dir, or a schema of its own on the
// server; with tables, made with them, else only named and not made.
QString freshLocation(const QString &engine, const QString &dir, Tables tables = Tables::None);

// Makes the database at location with the tables, as init does; false (with
// a warning) on failure.
bool make(const QString &location, Tables tables);

// Runs a statement on the database at location; false (with a warning) on
// failure.
bool execute(const QString &location, const QString &statement);

// Makes the terminal database at location refuse the category "BAD ", as a
// constraint added after the table was made would; false (with a warning) on
// failure.
bool refuseCategoryBad(const QString &location);

// The server location with a schema of that name.
QString serverLocation(const QString &schema);

// Whether anything was made at the location: the file, or the schema.
bool locationExists(const QString &location);

// Stops or starts the test server (for tests of a server going away).
bool stopServer();
bool startServer();

} // namespace TestDatabases
