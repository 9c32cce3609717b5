#pragma once

#include <QString>

// The database engines the master suites run against. CTest runs each such
// suite twice: as NAME on SQLite, and as NAME_postgresql on the PostgreSQL
// server a test run may give (scripts/with-postgres starts a throw-away
// cluster and names it in TARVINEX_TEST_PG_URI).
namespace TestDatabases {

inline const QString SQLite = QStringLiteral("sqlite");
inline const QString PostgreSQL = QStringLiteral("postgresql");

// The engine of this run: PostgreSQL when TARVINEX_TEST_ENGINE names it.
QString engine();

// The exit status of a run on PostgreSQL without a server, which CTest
// reports as skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt).
inline constexpr int NoServerExitCode = 77;

// Ends the process with NoServerExitCode when the run is on PostgreSQL and
// no server is given. A suite calls it from its initMain, before any test.
void exitWithoutServer();

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
