#include "server/store/forumstore.h"

#include "server/store/forumschema.h"
#include "server/store/searchtext.h"
#include "server/store/sqldialect.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHashFunctions>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <map>
#include <sys/stat.h>

namespace {

const QString welcomeTitle = QStringLiteral("<b>Welcome to Tavernly</b>");
const QString welcomeBody = QStringLiteral(
    "Tavernly is a small forum service: anyone can open a forum by name, and anyone can post "
    "messages to it.<br>\r\n"
    "Pick a forum in the directory to read its page. To post, choose the forum, write a title "
    "and a message and press Post; the toolbar adds <b>bold</b>, <i>italic</i>, "
    "<u>underlined</u> text, links and pictures.<br>\r\n"
    "To open a forum of your own, type its name and press Create.");

// Messages go in by statements of up to this many rows, a batch that fits
// in one statement: on SQLite the search index's pending words are flushed
// at every statement's savepoint once it has any (FTS5 makes a segment of
// them, then merges segments), so a row per statement cost a segment per
// message. A batch's statements are kept prepared, one per row count.
constexpr int widestInsert = 64;
constexpr int insertColumns = 8;

// The placeholders of the rows, named once: Qt spells a positional one anew
// at every bind, which cost more than the rest of a row's binding.
const QStringList &insertPlaceholders()
{
    static const QStringList names = [] {
        QStringList all;
        for (int at = 0; at < widestInsert * insertColumns; ++at)
            all.append(QStringLiteral(":v%1").arg(at));
        return all;
    }();
    return names;
}

} // namespace

// Prepared once per connection and kept: a prepare costs as much as many rows.
struct ForumStore::Statements
{
    explicit Statements(const QSqlDatabase &db) : count(db), mark(db) {}
    QSqlQuery count;
    QSqlQuery mark;
    bool countReady = false;
    bool markReady = false;
    std::map<int, QSqlQuery> inserts; // by rows, each prepared
};

NewMessage ForumStore::welcomeMessage(qint64 forumId)
{
    // The parser reads a line break as a plain one.
    QString bodyHtml = welcomeBody;
    bodyHtml.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return {forumId, welcomeTitle.toUtf8(), welcomeBody.toUtf8(), welcomeTitle, bodyHtml,
            QDateTime::currentMSecsSinceEpoch()};
}

ForumStore::ForumStore()
    : m_connection(QStringLiteral("forumstore-%1").arg(quintptr(this), 0, 16))
{
}

ForumStore::~ForumStore()
{
    m_statements.reset(); // before the connection they were prepared on
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
    m_statements.reset();
    m_url = url;
    QString why;
    if (url.open(m_connection, &why)) {
        QSqlDatabase db = database();
        const auto seed = [this, &db](QString *error) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral(
                "INSERT INTO forums (name, created) VALUES (?, ?) RETURNING id"));
            query.addBindValue(QStringLiteral("Welcome"));
            query.addBindValue(QDateTime::currentMSecsSinceEpoch());
            if (!query.exec() || !query.next()) {
                *error = query.lastError().text();
                return false;
            }
            if (!insert({welcomeMessage(query.value(0).toLongLong())}, {})) {
                *error = m_lastError;
                return false;
            }
            return true;
        };
        if (forumschema::migrate(db, SqlDialect(url.engine), seed, &why)) {
            m_available = true;
            rememberFile();
            return true;
        }
        why = QStringLiteral("cannot bring the database %1 up to date: %2").arg(url.display(), why);
    }
    m_lastError = why;
    if (error)
        *error = why;
    return false;
}

bool ForumStore::connect(const DatabaseUrl &url, QString *error)
{
    m_url = url;
    return reconnect(error);
}

bool ForumStore::reconnect(QString *why)
{
    m_statements.reset();
    if (QSqlDatabase::contains(m_connection)) {
        database().close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    // Only a file that exists: a removed one is an outage, not a new, empty database.
    m_available = m_url.open(m_connection, why, DatabaseUrl::Opening::ExistingOnly);
    if (m_available)
        rememberFile();
    return m_available;
}

void ForumStore::rememberFile()
{
    struct stat info{};
    if (m_url.engine == DatabaseUrl::Engine::SQLite
        && ::stat(QFile::encodeName(m_url.path).constData(), &info) == 0) {
        m_fileDevice = quint64(info.st_dev);
        m_fileInode = quint64(info.st_ino);
    }
}

bool ForumStore::fileIntact() const
{
    if (m_url.engine != DatabaseUrl::Engine::SQLite)
        return true;
    struct stat info{};
    return ::stat(QFile::encodeName(m_url.path).constData(), &info) == 0
        && quint64(info.st_dev) == m_fileDevice && quint64(info.st_ino) == m_fileInode;
}

bool ForumStore::checkFile()
{
    if (fileIntact())
        return true;
    m_lastError = QStringLiteral("the database file %1 was removed or replaced").arg(m_url.path);
    m_lastSqlError = QSqlError();
    if (m_available) {
        m_available = false;
        if (m_lostHandler)
            m_lostHandler(m_lastError);
    }
    return false;
}

bool ForumStore::lastErrorConcernsRows() const
{
    return m_available && SqlDialect(m_url.engine).concernsRows(m_lastSqlError);
}

quint64 ForumStore::spoolMark(const QString &spoolId, bool *ok) const
{
    *ok = false;
    if (unavailable())
        return 0;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT stored FROM spool_marks WHERE spool = ?"));
    query.addBindValue(spoolId);
    if (!query.exec()) {
        failed(query.lastError());
        return 0;
    }
    *ok = true;
    return query.next() ? query.value(0).toULongLong() : 0;
}

void ForumStore::check()
{
    if (!m_available)
        return;
    QSqlQuery probe(database());
    if (!probe.exec(QStringLiteral("SELECT 1")))
        failed(probe.lastError());
    else
        checkFile();
}

void ForumStore::setLostHandler(std::function<void(const QString &)> handler)
{
    m_lostHandler = std::move(handler);
}

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

void ForumStore::failed(const QSqlError &error) const
{
    m_lastError = error.text();
    m_lastSqlError = error;
    if (!m_available)
        return;
    // A statement may fail on its own (a constraint); the database is lost
    // only when it no longer answers the simplest question either.
    QSqlQuery probe(database());
    if (probe.exec(QStringLiteral("SELECT 1")) && probe.next())
        return;
    m_available = false;
    if (m_lostHandler)
        m_lostHandler(m_lastError);
}

namespace {
void notDone(bool *ok)
{
    if (ok)
        *ok = false;
}
} // namespace

QList<ForumEntry> ForumStore::forums(bool *ok) const
{
    if (unavailable())
        return notDone(ok), QList<ForumEntry>();
    QList<ForumEntry> forums;
    QSqlQuery query(database());
    const bool done = query.exec(QStringLiteral("SELECT id, name FROM forums ORDER BY id"));
    if (ok)
        *ok = done;
    if (!done)
        failed(query.lastError());
    while (query.next())
        forums.append({query.value(0).toLongLong(), query.value(1).toString()});
    return forums;
}

QList<ForumSummary> ForumStore::forumSummaries(bool *ok) const
{
    if (unavailable())
        return notDone(ok), QList<ForumSummary>();
    QList<ForumSummary> forums;
    QSqlQuery query(database());
    const bool done = query.exec(
        QStringLiteral("SELECT name, message_count FROM forums ORDER BY id"));
    if (ok)
        *ok = done;
    if (!done)
        failed(query.lastError());
    while (query.next())
        forums.append({query.value(0).toString(), query.value(1).toLongLong()});
    return forums;
}

std::optional<qint64> ForumStore::forumId(const QString &name, bool *ok) const
{
    if (unavailable())
        return notDone(ok), std::nullopt;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT id FROM forums WHERE name = ?"));
    query.addBindValue(name);
    if (!query.exec()) {
        failed(query.lastError());
        return notDone(ok), std::nullopt;
    }
    if (ok)
        *ok = true;
    if (!query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

qint64 ForumStore::messageCount(qint64 forumId) const
{
    if (unavailable())
        return 0;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT message_count FROM forums WHERE id = ?"));
    query.addBindValue(forumId);
    if (!query.exec() || !query.next()) {
        failed(query.lastError());
        return 0;
    }
    return query.value(0).toLongLong();
}

ForumStore::CreateResult ForumStore::createForum(const QString &name, qint64 *id)
{
    if (unavailable())
        return CreateResult::Failed;
    // One statement decides, so two servers creating one name at the same
    // moment get one row: the other finds the name taken and no row back.
    QSqlQuery query(database());
    query.prepare(SqlDialect(m_url.engine).createForum());
    query.addBindValue(name);
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!query.exec()) {
        failed(query.lastError());
        return CreateResult::Failed;
    }
    if (!query.next())
        return CreateResult::Exists;
    if (id)
        *id = query.value(0).toLongLong();
    return CreateResult::Created;
}

bool ForumStore::addMessages(const QList<NewMessage> &messages, const QString &spoolId,
                             quint64 spoolMark)
{
    if (unavailable() || !checkFile())
        return false;
    QSqlDatabase db = database();
    if (!db.transaction()) {
        failed(db.lastError());
        return false;
    }
    Statements &statements = this->statements();
    // The mark first: a statement after the messages would flush the search
    // index's words once more before the commit does.
    bool done = true;
    if (!spoolId.isEmpty()) {
        QSqlQuery &mark = statements.mark;
        done = prepared(mark, &statements.markReady,
                        QStringLiteral("INSERT INTO spool_marks (spool, stored) VALUES (?, ?) "
                                       "ON CONFLICT (spool) DO UPDATE SET stored = "
                                       "excluded.stored"));
        if (done) {
            mark.bindValue(0, spoolId);
            mark.bindValue(1, qint64(spoolMark));
            done = mark.exec();
            if (!done)
                recordError(mark.lastError());
        }
    }
    done = done && insert(messages, spoolId);
    if (!done) {
        const QSqlError error = m_lastSqlError;
        db.rollback();
        failed(error);
        return false;
    }
    // Never into a file that is no longer the database (removed meanwhile).
    if (!checkFile()) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        failed(error);
        return false;
    }
    return true;
}

void ForumStore::recordError(const QSqlError &error)
{
    m_lastSqlError = error;
    m_lastError = error.text();
}

// A prepare waits for locks too (and may time out): its failure is the error.
bool ForumStore::prepared(QSqlQuery &statement, bool *ready, const QString &sql)
{
    if (*ready)
        return true;
    *ready = statement.prepare(sql);
    if (!*ready)
        recordError(statement.lastError());
    return *ready;
}

QSqlQuery *ForumStore::insertStatement(int rows)
{
    std::map<int, QSqlQuery> &inserts = statements().inserts;
    auto found = inserts.find(rows);
    if (found != inserts.end())
        return &found->second;
    QString sql = QStringLiteral("INSERT INTO messages (forum, number, title, body, title_html, "
                                 "body_html, arrived, words) VALUES ");
    const QStringList &names = insertPlaceholders();
    for (int row = 0; row < rows; ++row) {
        sql += row > 0 ? QStringLiteral(", (") : QStringLiteral("(");
        sql += names.mid(row * insertColumns, insertColumns).join(QStringLiteral(", "));
        sql += u')';
    }
    QSqlQuery statement(database());
    bool ready = false;
    if (!prepared(statement, &ready, sql))
        return nullptr;
    return &inserts.emplace(rows, std::move(statement)).first->second;
}

// Inside a transaction: each forum's counts, then the messages, numbered in
// their forum from what its count gave.

ForumStore::Statements &ForumStore::statements()
{
    if (!m_statements)
        m_statements = std::make_unique<Statements>(database());
    return *m_statements;
}

bool ForumStore::insert(const QList<NewMessage> &messages, const QString &origin)
{
    QMap<qint64, qint64> added; // by forum: servers sharing a database lock forums in one order
    for (const NewMessage &message : messages)
        ++added[message.forumId];
    QMap<qint64, qint64> next; // by forum: the number its next message gets
    QSqlQuery &count = statements().count;
    if (!added.isEmpty()
        && !prepared(count, &statements().countReady,
                     QStringLiteral("UPDATE forums SET message_count = message_count + ?, "
                                    "posted = posted + ? WHERE id = ? RETURNING posted")))
        return false;
    for (auto it = added.cbegin(); it != added.cend(); ++it) {
        count.bindValue(0, it.value());
        count.bindValue(1, it.value());
        count.bindValue(2, it.key());
        if (!count.exec() || !count.next()) {
            recordError(count.lastError().isValid()
                ? count.lastError()
                // No code: a step that fails without an error (a full disk
                // reading the row back) must not pass for a refused post.
                : QSqlError(QStringLiteral("there is no forum %1").arg(it.key()), {},
                            QSqlError::StatementError));
            count.finish();
            return false;
        }
        next[it.key()] = count.value(0).toLongLong() - it.value() + 1;
        count.finish();
    }
    for (qsizetype from = 0; from < messages.size();) {
        const int rows = int(std::min<qsizetype>(widestInsert, messages.size() - from));
        QSqlQuery *query = insertStatement(rows);
        if (!query)
            return false;
        for (int row = 0; row < rows; ++row) {
            const NewMessage &message = messages[from + row];
            const QString *name = insertPlaceholders().constData() + row * insertColumns;
            query->bindValue(name[0], message.forumId);
            query->bindValue(name[1], next[message.forumId]++);
            query->bindValue(name[2], message.title);
            query->bindValue(name[3], message.body);
            query->bindValue(name[4], message.titleHtml);
            query->bindValue(name[5], message.bodyHtml);
            query->bindValue(name[6], message.arrived);
            query->bindValue(name[7], searchtext::indexed(message.titleHtml, message.bodyHtml));
        }
        if (!query->exec()) {
            recordError(query->lastError());
            return false;
        }
        from += rows;
    }
    const QString notify = SqlDialect(m_url.engine).notifyChanges(added.keys(), origin);
    if (!added.isEmpty() && !notify.isEmpty()) {
        QSqlQuery announce(database());
        if (!announce.exec(notify)) {
            recordError(announce.lastError());
            return false;
        }
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
    query.prepare(QStringLiteral("SELECT title_html, body_html, number FROM messages "
                                 "WHERE forum = ? AND hidden = 0 ORDER BY id DESC LIMIT ? OFFSET ?"));
    query.addBindValue(forumId);
    query.addBindValue(count);
    query.addBindValue(skip);
    const bool done = query.exec();
    if (ok)
        *ok = done;
    if (!done)
        failed(query.lastError());
    while (query.next())
        result.append({query.value(0).toString(), query.value(1).toString(),
                       query.value(2).toLongLong()});
    return result;
}

qint64 ForumStore::changeCount() const
{
    if (unavailable())
        return -1;
    QSqlQuery query(database());
    if (!query.exec(SqlDialect(m_url.engine).changeCount()) || !query.next()) {
        failed(query.lastError());
        return -1;
    }
    return query.value(0).toLongLong();
}

QString ForumStore::lastError() const
{
    return m_lastError;
}
