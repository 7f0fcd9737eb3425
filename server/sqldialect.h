#pragma once
// Everything that differs between SQLite and PostgreSQL for the store: the
// rest of its SQL is written once for both.

#include "server/databaseurl.h"

#include <QString>
#include <QStringList>

class QSqlDatabase;

class SqlDialect
{
public:
    explicit SqlDialect(DatabaseUrl::Engine engine) : m_engine(engine) {}

    DatabaseUrl::Engine engine() const { return m_engine; }
    QString driver() const;

    // Statements run on every new connection.
    QStringList sessionSetup() const;

    // A schema statement with {id} (an auto-numbered 64-bit key) and {bytes}
    // (raw bytes) in place of the engine's own types.
    QString schema(QString statement) const;

    // A query for one number that grows with every commit, by any server
    // (SQLite: except this connection's own).
    QString changeCounter() const;

    // Inside the migration's transaction, before the version is read: servers
    // starting together on one database migrate one after the other.
    QString migrationLock() const;
    bool readSchemaVersion(const QSqlDatabase &db, int *version, QString *error) const;
    QStringList writeSchemaVersion(int version) const;

private:
    DatabaseUrl::Engine m_engine;
};
