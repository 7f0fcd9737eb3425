#include "server/forumstore.h"

#include "server/migrations.h"
#include "server/sanitizer.h"
#include "server/sqldialect.h"

#include <QDateTime>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

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
    return open(DatabaseUrl::sqliteFile(QDir(dir).filePath(fileName())), error);
}

bool ForumStore::open(const DatabaseUrl &url, QString *error)
{
    m_url = url;
    QString why;
    if (url.open(m_connection, &why)) {
        QSqlDatabase db = database();
        if (migrations::run(db, SqlDialect(url.engine), &why)) {
            m_available = true;
            return true;
        }
        why = QStringLiteral("cannot bring the database %1 up to date: %2").arg(url.display(), why);
    }
    m_lastError = why;
    if (error)
        *error = why;
    return false;
}

bool ForumStore::reconnect(QString *why)
{
    if (QSqlDatabase::contains(m_connection)) {
        database().close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_available = m_url.open(m_connection, why);
    return m_available;
}

void ForumStore::setLostHandler(std::function<void(const QString &)> handler)
{
    m_lostHandler = std::move(handler);
}

namespace {
void notDone(bool *ok)
{
    if (ok)
        *ok = false;
}
} // namespace

QSqlDatabase ForumStore::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool ForumStore::unavailable() const
{
    if (m_available)
        return false;
    m_lastError = QStringLiteral("the database %1 is not answering").arg(m_url.display());
    return true;
}

void ForumStore::failed(const QSqlQuery &query) const
{
    m_lastError = query.lastError().text();
    // A statement may fail on its own (a constraint); the database is lost
    // only when it no longer answers the simplest question either.
    QSqlQuery probe(database());
    if (probe.exec(QStringLiteral("SELECT 1")) && probe.next())
        return;
    m_available = false;
    if (m_lostHandler)
        m_lostHandler(m_lastError);
}

QStringList ForumStore::forumNames(bool *ok) const
{
    if (unavailable())
        return notDone(ok), QStringList();
    QStringList names;
    QSqlQuery query(database());
    const bool done = query.exec(QStringLiteral("SELECT name FROM forums ORDER BY id"));
    if (ok)
        *ok = done;
    if (!done)
        failed(query);
    while (done && query.next())
        names << query.value(0).toString();
    return names;
}

QList<ForumSummary> ForumStore::forumSummaries(bool *ok) const
{
    if (unavailable())
        return notDone(ok), QList<ForumSummary>();
    QList<ForumSummary> forums;
    QSqlQuery query(database());
    const bool done =
        query.exec(QStringLiteral("SELECT f.name, (SELECT count(*) FROM messages m "
                                                 "WHERE m.forum = f.id) FROM forums f ORDER BY f.id"));
    if (ok)
        *ok = done;
    if (!done)
        failed(query);
    while (done && query.next())
        forums.append({query.value(0).toString(), query.value(1).toLongLong()});
    return forums;
}

std::optional<qint64> ForumStore::forumId(const QString &name) const
{
    if (unavailable())
        return std::nullopt;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT id FROM forums WHERE name = ?"));
    query.addBindValue(name);
    if (!query.exec()) {
        failed(query);
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

qint64 ForumStore::messageCount(qint64 forumId) const
{
    if (unavailable())
        return 0;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT count(*) FROM messages WHERE forum = ?"));
    query.addBindValue(forumId);
    if (!query.exec() || !query.next()) {
        failed(query);
        return 0;
    }
    return query.value(0).toLongLong();
}

ForumStore::CreateResult ForumStore::createForum(const QString &name)
{
    // One statement decides, so two servers creating one name at the same
    // moment get one row: the other sees the unique name taken and no row back.
    if (unavailable())
        return CreateResult::Failed;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("INSERT INTO forums (name, created) VALUES (?, ?) "
                                 "ON CONFLICT (name) DO NOTHING RETURNING id"));
    query.addBindValue(name);
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!query.exec()) {
        failed(query);
        return CreateResult::Failed;
    }
    return query.next() ? CreateResult::Created : CreateResult::Exists;
}

bool ForumStore::addMessage(qint64 forumId, const QByteArray &title, const QByteArray &body)
{
    if (unavailable())
        return false;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("INSERT INTO messages (forum, title, body, title_html, body_html, "
                                 "arrived) VALUES (?, ?, ?, ?, ?, ?)"));
    query.addBindValue(forumId);
    query.addBindValue(title);
    query.addBindValue(body);
    query.addBindValue(sanitizeHtml(title));
    query.addBindValue(sanitizeHtml(body));
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!query.exec()) {
        failed(query);
        return false;
    }
    return true;
}

QList<PublishedMessage> ForumStore::messages(qint64 forumId, int skip, int count,
                                             bool *ok) const
{
    if (unavailable())
        return notDone(ok), QList<PublishedMessage>();
    QList<PublishedMessage> result;
    QSqlQuery query(database());
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
        failed(query);
    while (done && query.next())
        result.append({query.value(0).toString(), query.value(1).toString()});
    return result;
}

QString ForumStore::lastError() const
{
    return m_lastError;
}
