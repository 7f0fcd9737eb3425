#pragma once
// The store's tables and the numbered steps that bring any older database to
// the current layout. Every engine runs the same steps in the same order.

#include <QSqlDatabase>
#include <QString>
#include <functional>

class SqlDialect;

namespace forumschema {

inline constexpr int currentVersion = 5;

// Runs the steps the database lacks, all in one transaction with `seed`,
// which runs only for a new (empty) database. A start cut short leaves the
// database as it was; servers starting together on one database take turns.
bool migrate(QSqlDatabase &db, const SqlDialect &dialect,
             const std::function<bool(QString *error)> &seed, QString *error);

} // namespace forumschema
