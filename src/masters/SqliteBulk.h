#pragma once

#include "BulkStatements.h"

// The bulk statements on SQLite: prepared once, UTF-8 values bound by
// position with their lengths, stepped and reset per row. A row fails at its
// own step, so the refused line is always known.
namespace Bulk::Sqlite {

// handle: the connection's sqlite3*.
std::unique_ptr<Upsert> upsert(void *handle);
std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error);

} // namespace Bulk::Sqlite
