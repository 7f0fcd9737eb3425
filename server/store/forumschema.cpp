#include "server/store/forumschema.h"

#include "server/store/sqldialect.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace forumschema {

namespace {

// Step N brings version N-1 to N. Never change a step once released: add one.
const QList<QStringList> &steps()
{
    static const QList<QStringList> all{
        // 1: forums and their messages, title and body kept as received
        // beside their published HTML.
        // {id} and {bytes} stand for the engine's own types (SqlDialect).
        {QStringLiteral("CREATE TABLE forums (id {id}, "
                        "name TEXT NOT NULL UNIQUE, created BIGINT NOT NULL)"),
         QStringLiteral("CREATE TABLE messages (id {id}, "
                        "forum BIGINT NOT NULL REFERENCES forums(id), "
                        "title {bytes} NOT NULL, body {bytes} NOT NULL, "
                        "title_html TEXT NOT NULL, body_html TEXT NOT NULL, "
                        "arrived BIGINT NOT NULL)"),
         QStringLiteral("CREATE INDEX messages_by_forum ON messages (forum, id)")},
        // 2: each forum's message count, kept with every post, so that the
        // start page does not count the messages.
        {QStringLiteral("ALTER TABLE forums ADD COLUMN message_count BIGINT NOT NULL DEFAULT 0"),
         QStringLiteral("UPDATE forums SET message_count = "
                        "(SELECT count(*) FROM messages m WHERE m.forum = forums.id)")},
        // 3: moderation. Each message gets its number in its forum (from 1, in
        // arrival order; forums.posted is the last one given) and may be
        // hidden; message_count counts the messages shown. Who hid or showed
        // which message, and when, is kept in moderation.
        {QStringLiteral("ALTER TABLE messages ADD COLUMN number BIGINT NOT NULL DEFAULT 0"),
         QStringLiteral("ALTER TABLE messages ADD COLUMN hidden INTEGER NOT NULL DEFAULT 0"),
         QStringLiteral("UPDATE messages SET number = n.number FROM (SELECT id, row_number() "
                        "OVER (PARTITION BY forum ORDER BY id) AS number FROM messages) AS n "
                        "WHERE messages.id = n.id"),
         QStringLiteral("ALTER TABLE forums ADD COLUMN posted BIGINT NOT NULL DEFAULT 0"),
         QStringLiteral("UPDATE forums SET posted = message_count"),
         QStringLiteral("CREATE TABLE moderation (id {id}, "
                        "forum BIGINT NOT NULL REFERENCES forums(id), number BIGINT NOT NULL, "
                        "hidden INTEGER NOT NULL, by_user TEXT NOT NULL, at BIGINT NOT NULL)")},
        // 4: each server's spool (by its random id) and the last of its
        // records stored, written in the transaction that stores them.
        {QStringLiteral("CREATE TABLE spool_marks (spool TEXT PRIMARY KEY, "
                        "stored BIGINT NOT NULL)")},
    };
    return all;
}

} // namespace

bool migrate(QSqlDatabase &db, const SqlDialect &dialect,
             const std::function<bool(QString *error)> &seed, QString *error)
{
    static_assert(currentVersion > 0);
    Q_ASSERT(steps().size() == currentVersion);
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    auto fail = [&](const QString &why) {
        *error = why;
        db.rollback();
        return false;
    };
    const QString lock = dialect.migrationLock();
    if (!lock.isEmpty() && !query.exec(lock))
        return fail(query.lastError().text());
    int version = 0;
    QString why;
    if (!dialect.readSchemaVersion(db, &version, &why))
        return fail(why);
    if (version > currentVersion)
        return fail(QStringLiteral("the database was written by a newer server (layout %1, this "
                                   "server knows up to %2)")
                        .arg(version)
                        .arg(currentVersion));
    if (version == currentVersion) {
        db.rollback(); // nothing written; ends the turn
        return true;
    }
    for (int step = version; step < currentVersion; ++step) {
        for (const QString &statement : steps().at(step)) {
            if (!query.exec(dialect.schema(statement)))
                return fail(query.lastError().text());
        }
    }
    for (const QString &statement : dialect.writeSchemaVersion(currentVersion)) {
        if (!query.exec(statement))
            return fail(query.lastError().text());
    }
    if (version == 0 && seed && !seed(&why))
        return fail(why);
    if (!db.commit())
        return fail(db.lastError().text());
    return true;
}

} // namespace forumschema
