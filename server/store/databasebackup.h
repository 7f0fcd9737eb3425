#pragma once
// `tavernly-server backup FILE`: a consistent copy of a SQLite database,
// taken while a server keeps writing to it.

#include "server/store/databaseurl.h"

#include <QString>

namespace databasebackup {

// Writes the copy to FILE (which must not exist yet) through SQLite's
// VACUUM INTO on a connection of its own: one read transaction, so the copy
// holds exactly what was committed when it began, while the server's writer
// goes on (the database is in WAL mode). The copy is written under another
// name, synced, checked and only then renamed to FILE. Returns the exit
// status: 0 done, 1 failed, 2 not a SQLite database (PostgreSQL: pg_dump).
int run(const DatabaseUrl &database, const QString &file);

} // namespace databasebackup
