#include "server/forumstore.h"

#include "server/sanitizer.h"

#include <QDateTime>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

constexpr int schemaVersion = 1;

const QString welcomeTitle = QStringLiteral("<b>Welcome to Tavernly</b>");
const QString welcomeBody = QStringLiteral(
    "Tavernly is a small forum service: anyone can open a forum by name, and anyone can post "
    "messages to it.<br>\r\n"
    "Pick a forum in the directory to read its page. To post, choose the forum, write a title "
    "and a message and press Post; the toolbar adds <b>bold</b>, <i>italic</i>, "
    "<u>underlined</u> text, links and pictures.<br>\r\n"
    "To open a forum of your own, type its name and press Create.");

const QString insertMessage =
    QStringLiteral("INSERT INTO messages (forum, title, body, title_html, body_html, arrived) "
                   "VALUES (?, ?, ?, ?, ?, ?)");

void bindMessage(QSqlQuery &query, qint64 forumId, const QByteArray &title,
                 const QByteArray &body)
{
    query.addBindValue(forumId);
    query.addBindValue(title);
    query.addBindValue(body);
    query.addBindValue(sanitizeHtml(title));
    query.addBindValue(sanitizeHtml(body));
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
}

} // namespace

ForumStore::ForumStore()
    : m_connection(QStringLiteral("forumstore-%1").arg(quintptr(this), 0, 16))
{
}

ForumStore::~ForumStore()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString ForumStore::fileName()
{
    return QStringLiteral("tavernly.sqlite");
}

bool ForumStore::open(const QString &dir, QString *error)
{
    auto fail = [&](const QString &why) {
        m_lastError = why;
        if (error)
            *error = why;
        return false;
    };
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create the data folder %1").arg(dir));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(QDir(dir).filePath(fileName()));
    if (!db.open())
        return fail(db.lastError().text());
    // In WAL mode NORMAL keeps every committed request through a killed
    // server (only a power cut may lose the last ones) without a disk flush
    // per request, which would cap posts at a few hundred a second and let
    // connections pile up to the limit under load.
    if (!exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
        !exec(QStringLiteral("PRAGMA foreign_keys=ON")) || !createSchema())
        return fail(m_lastError);
    return true;
}

bool ForumStore::exec(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(statement)) {
        m_lastError = query.lastError().text();
        return false;
    }
    return true;
}

bool ForumStore::createSchema()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery version(db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        m_lastError = version.lastError().text();
        return false;
    }
    if (version.value(0).toInt() >= schemaVersion)
        return true;

    // Schema and welcome forum in one transaction: a first start cut short
    // leaves an empty file that the next start fills in again.
    if (!db.transaction()) {
        m_lastError = db.lastError().text();
        return false;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QSqlQuery query(db);
    bool ok =
        query.exec(QStringLiteral("CREATE TABLE forums (id INTEGER PRIMARY KEY, "
                                  "name TEXT NOT NULL UNIQUE, created INTEGER NOT NULL)")) &&
        query.exec(QStringLiteral("CREATE TABLE messages (id INTEGER PRIMARY KEY, "
                                  "forum INTEGER NOT NULL REFERENCES forums(id), "
                                  "title BLOB NOT NULL, body BLOB NOT NULL, "
                                  "title_html TEXT NOT NULL, body_html TEXT NOT NULL, "
                                  "arrived INTEGER NOT NULL)")) &&
        query.exec(QStringLiteral("CREATE INDEX messages_by_forum ON messages (forum, id)"));
    ok = ok && query.prepare(QStringLiteral("INSERT INTO forums (name, created) VALUES (?, ?)"));
    query.addBindValue(QStringLiteral("Welcome"));
    query.addBindValue(now);
    ok = ok && query.exec();
    const QVariant welcomeId = query.lastInsertId();
    ok = ok && query.prepare(insertMessage);
    bindMessage(query, welcomeId.toLongLong(), welcomeTitle.toUtf8(), welcomeBody.toUtf8());
    ok = ok && query.exec() &&
         query.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion));
    if (!ok) {
        m_lastError = query.lastError().text();
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        m_lastError = db.lastError().text();
        return false;
    }
    return true;
}

QStringList ForumStore::forumNames(bool *ok) const
{
    QStringList names;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    const bool done = query.exec(QStringLiteral("SELECT name FROM forums ORDER BY id"));
    if (ok)
        *ok = done;
    if (!done)
        m_lastError = query.lastError().text();
    while (query.next())
        names << query.value(0).toString();
    return names;
}

QList<ForumSummary> ForumStore::forumSummaries(bool *ok) const
{
    QList<ForumSummary> forums;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    const bool done = query.exec(QStringLiteral("SELECT f.name, (SELECT count(*) FROM messages m "
                                                "WHERE m.forum = f.id) FROM forums f ORDER BY f.id"));
    if (ok)
        *ok = done;
    if (!done)
        m_lastError = query.lastError().text();
    while (query.next())
        forums.append({query.value(0).toString(), query.value(1).toLongLong()});
    return forums;
}

std::optional<qint64> ForumStore::forumId(const QString &name) const
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT id FROM forums WHERE name = ?"));
    query.addBindValue(name);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

qint64 ForumStore::messageCount(qint64 forumId) const
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT count(*) FROM messages WHERE forum = ?"));
    query.addBindValue(forumId);
    if (!query.exec() || !query.next()) {
        m_lastError = query.lastError().text();
        return 0;
    }
    return query.value(0).toLongLong();
}

ForumStore::CreateResult ForumStore::createForum(const QString &name)
{
    if (forumId(name))
        return CreateResult::Exists;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("INSERT INTO forums (name, created) VALUES (?, ?)"));
    query.addBindValue(name);
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return CreateResult::Failed;
    }
    return CreateResult::Created;
}

bool ForumStore::addMessage(qint64 forumId, const QByteArray &title, const QByteArray &body)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(insertMessage);
    bindMessage(query, forumId, title, body);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return false;
    }
    return true;
}

QList<PublishedMessage> ForumStore::messages(qint64 forumId, int skip, int count,
                                             bool *ok) const
{
    QList<PublishedMessage> result;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT title_html, body_html FROM messages WHERE forum = ? "
                                 "ORDER BY id DESC LIMIT ? OFFSET ?"));
    query.addBindValue(forumId);
    query.addBindValue(count);
    query.addBindValue(skip);
    const bool done = query.exec();
    if (ok)
        *ok = done;
    if (!done)
        m_lastError = query.lastError().text();
    while (query.next())
        result.append({query.value(0).toString(), query.value(1).toString()});
    return result;
}

QString ForumStore::lastError() const
{
    return m_lastError;
}
