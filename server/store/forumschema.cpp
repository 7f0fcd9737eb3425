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
        // 5: search. Each message's words as a reader sees them, folded
        // (searchtext), in the engine's full-text index; the hidden ones
        // indexed apart, so a message's place on its forum's pages is quick
        // to find. Messages stored before are indexed afterwards, newest
        // first, on the store thread: search_backlog.below is the id under
        // which they wait.
        {QStringLiteral("ALTER TABLE messages ADD COLUMN words TEXT"),
         QStringLiteral("{sqlite}CREATE VIRTUAL TABLE message_words USING fts5(words, "
                        "content='messages', content_rowid='id', "
                        "tokenize='unicode61 remove_diacritics 2', prefix='3')"),
         QStringLiteral("{sqlite}CREATE TRIGGER message_words_added AFTER INSERT ON messages "
                        "WHEN new.words IS NOT NULL BEGIN "
                        "INSERT INTO message_words (rowid, words) VALUES (new.id, new.words); END"),
         QStringLiteral("{sqlite}CREATE TRIGGER message_words_changed AFTER UPDATE OF words "
                        "ON messages BEGIN "
                        "INSERT INTO message_words (message_words, rowid, words) "
                        "SELECT 'delete', old.id, old.words WHERE old.words IS NOT NULL; "
                        "INSERT INTO message_words (rowid, words) "
                        "SELECT new.id, new.words WHERE new.words IS NOT NULL; END"),
         QStringLiteral("{sqlite}CREATE TRIGGER message_words_removed AFTER DELETE ON messages "
                        "WHEN old.words IS NOT NULL BEGIN "
                        "INSERT INTO message_words (message_words, rowid, words) "
                        "VALUES ('delete', old.id, old.words); END"),
         QStringLiteral("{postgresql}CREATE INDEX message_words ON messages "
                        "USING gin (array_to_tsvector(string_to_array(words, ' ')))"),
         QStringLiteral("CREATE INDEX messages_hidden ON messages (forum, number) "
                        "WHERE hidden <> 0"),
         QStringLiteral("CREATE TABLE search_backlog (below BIGINT NOT NULL)"),
         QStringLiteral("INSERT INTO search_backlog (below) "
                        "SELECT coalesce(max(id), 0) + 1 FROM messages")},
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
            const QString sql = dialect.schema(statement);
            if (!sql.isEmpty() && !query.exec(sql))
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
