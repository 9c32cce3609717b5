#pragma once

#include "BulkStatements.h"

// The bulk statements on PostgreSQL, through libpq on the connection Qt SQL
// opened (whose client encoding is UTF-8).
//
// The update streams each batch of rows, line number beside the values, with
// COPY ... FROM STDIN into a temporary table of the transaction and moves it
// with one INSERT ... ON CONFLICT; of the rows of a key repeated in the
// batch the server keeps the last line's. The first batch of a file is
// FirstBatchRows rows and each next one twice the last, up to MaxBatchRows,
// so a small file is as quick as ever and a large one costs a few round
// trips. A refused batch is replayed row by row from the values it holds, in
// a transaction of its own, rolled back after, to name the line. The export
// is one SELECT ... ORDER BY with the terminal ID bound, read a row at a
// time. The import streams its lines with COPY into a temporary table and
// one server-side loop runs each line's DELETE and INSERT in file order, so
// a failure still names its line.
namespace Bulk::Postgres {

inline constexpr int FirstBatchRows = 64;
inline constexpr int MaxBatchRows = 8192;

// handle: the connection's PGconn*.
std::unique_ptr<Upsert> upsert(void *handle);
std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error);

} // namespace Bulk::Postgres
