#include "server/migrations.h"

#include "server/sanitizer.h"
#include "server/sqldialect.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <functional>

namespace {

const QString welcomeTitle = QStringLiteral("<b>Welcome to Tavernly</b>");
const QString welcomeBody = QStringLiteral(
    "Tavernly is a small forum service: anyone can open a forum by name, and anyone can post "
    "messages to it.<br>\r\n"
    "Pick a forum in the directory to read its page. To post, choose the forum, write a title "
    "and a message and press Post; the toolbar adds <b>bold</b>, <i>italic</i>, "
    "<u>underlined</u> text, links and pictures.<br>\r\n"
    "To open a forum of your own, type its name and press Create.");

using Step = std::function<bool(QSqlQuery &query, const SqlDialect &dialect)>;

bool execAll(QSqlQuery &query, const SqlDialect &dialect, std::initializer_list<const char *> sql)
{
    for (const char *statement : sql) {
        if (!query.exec(dialect.schema(QString::fromLatin1(statement))))
            return false;
    }
    return true;
}

// Step N brings a database from version N - 1 to N.
const std::vector<Step> &steps()
{
    static const std::vector<Step> all = {
        // 1: forums and their messages, with the welcome forum.
        [](QSqlQuery &query, const SqlDialect &dialect) {
            if (!execAll(query, dialect,
                         {"CREATE TABLE forums (id {id}, name TEXT NOT NULL UNIQUE, "
                          "created BIGINT NOT NULL)",
                          "CREATE TABLE messages (id {id}, "
                          "forum BIGINT NOT NULL REFERENCES forums(id), "
                          "title {bytes} NOT NULL, body {bytes} NOT NULL, "
                          "title_html TEXT NOT NULL, body_html TEXT NOT NULL, "
                          "arrived BIGINT NOT NULL)",
                          "CREATE INDEX messages_by_forum ON messages (forum, id)"}))
                return false;
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (!query.prepare(QStringLiteral(
                    "INSERT INTO forums (name, created) VALUES (?, ?) RETURNING id")))
                return false;
            query.addBindValue(QStringLiteral("Welcome"));
            query.addBindValue(now);
            if (!query.exec() || !query.next())
                return false;
            const qint64 welcomeId = query.value(0).toLongLong();
            query.finish();
            if (!query.prepare(QStringLiteral(
                    "INSERT INTO messages (forum, title, body, title_html, body_html, arrived) "
                    "VALUES (?, ?, ?, ?, ?, ?)")))
                return false;
            query.addBindValue(welcomeId);
            query.addBindValue(welcomeTitle.toUtf8());
            query.addBindValue(welcomeBody.toUtf8());
            query.addBindValue(sanitizeHtml(welcomeTitle.toUtf8()));
            query.addBindValue(sanitizeHtml(welcomeBody.toUtf8()));
            query.addBindValue(now);
            return query.exec();
        },
    };
    return all;
}

} // namespace

namespace migrations {

int latestVersion()
{
    return int(steps().size());
}

bool run(QSqlDatabase &db, const SqlDialect &dialect, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        db.rollback();
        return false;
    };
    if (!db.transaction())
        return fail(db.lastError().text());
    QSqlQuery query(db);
    const QString lock = dialect.migrationLock();
    if (!lock.isEmpty() && !query.exec(lock))
        return fail(query.lastError().text());
    int version = 0;
    QString why;
    if (!dialect.readSchemaVersion(db, &version, &why))
        return fail(why);
    if (version > latestVersion())
        return fail(QStringLiteral("the database has schema version %1; this server knows up "
                                   "to %2")
                        .arg(version)
                        .arg(latestVersion()));
    if (version == latestVersion()) {
        db.rollback(); // nothing written; releases the lock
        return true;
    }
    for (int next = version + 1; next <= latestVersion(); ++next) {
        if (!steps()[size_t(next - 1)](query, dialect))
            return fail(QStringLiteral("schema step %1: %2").arg(next).arg(query.lastError().text()));
    }
    for (const QString &statement : dialect.writeSchemaVersion(latestVersion())) {
        if (!query.exec(statement))
            return fail(query.lastError().text());
    }
    if (!db.commit())
        return fail(db.lastError().text());
    return true;
}

} // namespace migrations
