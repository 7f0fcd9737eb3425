#include "server/forumstore.h"

#include "server/forumschema.h"
#include "server/sanitizer.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const QString welcomeTitle = QStringLiteral("<b>Welcome to Tavernly</b>");
const QString welcomeBody = QStringLiteral(
    "Tavernly is a small forum service: anyone can open a forum by name, and anyone can post "
    "messages to it.<br>\r\n"
    "Pick a forum in the directory to read its page. To post, choose the forum, write a title "
    "and a message and press Post; the toolbar adds <b>bold</b>, <i>italic</i>, "
    "<u>underlined</u> text, links and pictures.<br>\r\n"
    "To open a forum of your own, type its name and press Create.");

} // namespace

NewMessage ForumStore::publish(qint64 forumId, const QByteArray &title, const QByteArray &body)
{
    return {forumId, title, body, sanitizeHtml(title), sanitizeHtml(body),
            QDateTime::currentMSecsSinceEpoch()};
}

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
    // Another thread's store may be writing: wait for it rather than fail.
    if (!exec(QStringLiteral("PRAGMA busy_timeout=10000")) ||
        !exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
        !exec(QStringLiteral("PRAGMA foreign_keys=ON")))
        return fail(m_lastError);
    QString why;
    const auto seed = [this, &db](QString *error) {
        QSqlQuery query(db);
        query.prepare(QStringLiteral("INSERT INTO forums (name, created) VALUES (?, ?)"));
        query.addBindValue(QStringLiteral("Welcome"));
        query.addBindValue(QDateTime::currentMSecsSinceEpoch());
        if (!query.exec()) {
            *error = query.lastError().text();
            return false;
        }
        if (!insert({publish(query.lastInsertId().toLongLong(), welcomeTitle.toUtf8(),
                             welcomeBody.toUtf8())})) {
            *error = m_lastError;
            return false;
        }
        return true;
    };
    if (!forumschema::migrate(db, seed, &why))
        return fail(why);
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
    const bool done = query.exec(
        QStringLiteral("SELECT name, message_count FROM forums ORDER BY id"));
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
    query.prepare(QStringLiteral("SELECT message_count FROM forums WHERE id = ?"));
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
    ++m_ownCommits;
    return CreateResult::Created;
}

bool ForumStore::addMessage(qint64 forumId, const QByteArray &title, const QByteArray &body)
{
    return addMessages({publish(forumId, title, body)});
}

bool ForumStore::addMessages(const QList<NewMessage> &messages)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        m_lastError = db.lastError().text();
        return false;
    }
    if (!insert(messages)) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        m_lastError = db.lastError().text();
        db.rollback();
        return false;
    }
    ++m_ownCommits;
    return true;
}

// Inside a transaction: the messages, then each forum's count.
bool ForumStore::insert(const QList<NewMessage> &messages)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO messages (forum, title, body, title_html, "
                                 "body_html, arrived) VALUES (?, ?, ?, ?, ?, ?)"));
    QHash<qint64, qint64> added;
    for (const NewMessage &message : messages) {
        query.bindValue(0, message.forumId);
        query.bindValue(1, message.title);
        query.bindValue(2, message.body);
        query.bindValue(3, message.titleHtml);
        query.bindValue(4, message.bodyHtml);
        query.bindValue(5, message.arrived);
        if (!query.exec()) {
            m_lastError = query.lastError().text();
            return false;
        }
        ++added[message.forumId];
    }
    QSqlQuery count(db);
    count.prepare(QStringLiteral("UPDATE forums SET message_count = message_count + ? "
                                 "WHERE id = ?"));
    for (auto it = added.cbegin(); it != added.cend(); ++it) {
        count.bindValue(0, it.value());
        count.bindValue(1, it.key());
        if (!count.exec()) {
            m_lastError = count.lastError().text();
            return false;
        }
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

quint64 ForumStore::version() const
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("PRAGMA data_version")) || !query.next())
        return ~quint64(0) - m_ownCommits; // unknown: never matches a page built before
    return (m_ownCommits << 32) + query.value(0).toULongLong();
}

QString ForumStore::lastError() const
{
    return m_lastError;
}
