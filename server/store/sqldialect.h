#pragma once
// Everything that differs between SQLite and PostgreSQL for the store: the
// rest of its SQL is written once for both.

#include "server/store/databaseurl.h"

#include <QString>
#include <QStringList>

class QSqlDatabase;
class QSqlError;

class SqlDialect
{
public:
    explicit SqlDialect(DatabaseUrl::Engine engine) : m_engine(engine) {}

    DatabaseUrl::Engine engine() const { return m_engine; }
    QString driver() const;

    // Statements run on every new connection; waitMs: how long a statement
    // may wait for a lock or run (0: the engine's default here).
    QStringList sessionSetup(int waitMs = 0) const;

    // A refusal that may concern the rows written rather than the database:
    // a constraint or a trigger's refusal, a value the engine will not take
    // (PostgreSQL's classes 22 and 23 and P0001; SQLite's constraint, too big
    // and mismatch). Everything else (a full disk, a read-only or lost
    // database, I/O, permission, memory, a lock, an unknown failure) says
    // the database cannot store now, whatever the rows are.
    bool concernsRows(const QSqlError &error) const;

    // A schema statement with {id} (an auto-numbered 64-bit key) and {bytes}
    // (raw bytes) in place of the engine's own types; one that begins with
    // {sqlite} or {postgresql} is that engine's alone (empty for the other).
    QString schema(QString statement) const;

    // Inserts a forum (name, created), returning its id only if the name was free.
    QString createForum() const;

    // PostgreSQL: every server hears of commits on this channel. The payload
    // says what changed: "forums" (new forums), or "posts" and the ids of
    // the forums that gained messages ("posts 3 7").
    static QString changeChannel();
    // The statement that announces new posts in these forums with the
    // transaction's commit; empty for SQLite, where the server is the only writer.
    // With an origin (a spool's id: letters, digits and "-"), the announcement
    // ends "from <origin>", and the server that sent it knows it for its own.
    QString notifyChanges(const QList<qint64> &forumIds, const QString &origin = {}) const;
    // The forums an announcement names (empty: any may have changed) and its origin, if any.
    static void readChanges(const QString &payload, QList<qint64> *forumIds, QString *origin);

    // A number that changes with the commits this server was not told of:
    // on PostgreSQL every server's (forums, messages ever posted and
    // moderation steps counted together), on SQLite a moderator's.
    QString changeCount() const;

    // Inside the migration's transaction, before the version is read: servers
    // starting together on one database migrate one after the other.
    QString migrationLock() const;
    bool readSchemaVersion(const QSqlDatabase &db, int *version, QString *error) const;
    QStringList writeSchemaVersion(int version) const;

private:
    DatabaseUrl::Engine m_engine;
};
