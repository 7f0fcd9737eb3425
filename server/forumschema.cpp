#include "server/forumschema.h"

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
        {QStringLiteral("CREATE TABLE forums (id INTEGER PRIMARY KEY, "
                        "name TEXT NOT NULL UNIQUE, created INTEGER NOT NULL)"),
         QStringLiteral("CREATE TABLE messages (id INTEGER PRIMARY KEY, "
                        "forum INTEGER NOT NULL REFERENCES forums(id), "
                        "title BLOB NOT NULL, body BLOB NOT NULL, "
                        "title_html TEXT NOT NULL, body_html TEXT NOT NULL, "
                        "arrived INTEGER NOT NULL)"),
         QStringLiteral("CREATE INDEX messages_by_forum ON messages (forum, id)")},
        // 2: each forum's message count, kept with every post, so that the
        // start page does not count the messages.
        {QStringLiteral("ALTER TABLE forums ADD COLUMN message_count INTEGER NOT NULL DEFAULT 0"),
         QStringLiteral("UPDATE forums SET message_count = "
                        "(SELECT count(*) FROM messages m WHERE m.forum = forums.id)")},
    };
    return all;
}

bool readVersion(QSqlDatabase &db, int *version, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    *version = query.value(0).toInt();
    return true;
}

} // namespace

bool migrate(QSqlDatabase &db, const std::function<bool(QString *error)> &seed, QString *error)
{
    static_assert(currentVersion > 0);
    Q_ASSERT(steps().size() == currentVersion);
    int version = 0;
    if (!readVersion(db, &version, error))
        return false;
    if (version > currentVersion) {
        *error = QStringLiteral("the database was written by a newer server (layout %1, this "
                                "server knows up to %2)")
                     .arg(version)
                     .arg(currentVersion);
        return false;
    }
    if (version == currentVersion)
        return true;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    bool ok = true;
    for (int step = version; ok && step < currentVersion; ++step) {
        for (const QString &statement : steps().at(step)) {
            if (!(ok = query.exec(statement)))
                break;
        }
    }
    ok = ok && query.exec(QStringLiteral("PRAGMA user_version = %1").arg(currentVersion));
    if (!ok)
        *error = query.lastError().text();
    if (ok && version == 0 && seed && !seed(error))
        ok = false;
    if (!ok) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        *error = db.lastError().text();
        return false;
    }
    return true;
}

} // namespace forumschema
