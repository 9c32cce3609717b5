#pragma once

#include "BulkStatements.h"

// The bulk statements on PostgreSQL, through libpq on the connection Qt SQL
// opened (whose client encoding is UTF-8).
//
// The update streams each batch of rows, line number beside the values, with
// COPY ... FROM STDIN into a temporary table of the transaction and moves it
// with one INSERT ... ON CONFLICT behind a savepoint. A batch that repeats a
// key fails that move and is moved again keeping each key's last line
// (DISTINCT ON over the line number). The first batch of a file is
// FirstBatchRows rows and each next one twice the last, up to MaxBatchRows,
// so a small file is as quick as ever and a large one costs a few round
// trips. A refused batch is replayed row by row from the values it holds, in
// a transaction of its own, rolled back after, to name the line. The export
// reads a cursor over one SELECT ... ORDER BY, the terminal ID bound, in
// pieces. The import (PostgresImport.cpp) streams its lines with COPY into a
// temporary table and one server-side loop runs each line's DELETE and
// INSERT in file order, so a failure still names its line.
namespace Bulk::Postgres {

inline constexpr int FirstBatchRows = 64;
inline constexpr int MaxBatchRows = 8192;

// handle: the connection's PGconn*.
std::unique_ptr<Upsert> upsert(void *handle);
std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error);

} // namespace Bulk::Postgres
