#pragma once
// The store's schema as numbered steps, the same for every engine. A
// database records the last step it has had; opening it runs the ones after
// that, all in one transaction, so a start cut short leaves it as it was.

#include <QString>

class QSqlDatabase;
class SqlDialect;

namespace migrations {

int latestVersion();

// Brings the database up to latestVersion(); false with *error if it cannot,
// or if the database is newer than this server.
bool run(QSqlDatabase &db, const SqlDialect &dialect, QString *error);

} // namespace migrations
