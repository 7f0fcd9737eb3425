#include "server/store/messagesearch.h"

#include "server/store/forumstore.h"
#include "server/store/searchtext.h"

#include <QDeadlineTimer>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace messagesearch {

namespace {

bool isSqlite(const ForumStore &store)
{
    return store.engine() == DatabaseUrl::Engine::SQLite;
}

// The last word is also read as the start of a word, once it is long enough.
bool isPrefix(const QStringList &words, qsizetype i)
{
    return i == words.size() - 1 && words[i].size() >= minPrefixLength;
}

// The engine's query: every word as a quoted term, the last also as a prefix.
// The words hold letters and digits only; quotes are doubled all the same.
QString matchExpression(const QStringList &words, bool sqlite)
{
    QStringList terms;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const bool prefix = isPrefix(words, i);
        if (sqlite) {
            QString word = words[i];
            terms << u'"' + word.replace(u'"', QStringLiteral("\"\"")) + u'"'
                    + (prefix ? QStringLiteral("*") : QString());
        } else {
            QString word = words[i];
            word.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("''"));
            terms << u'\'' + word + u'\'' + (prefix ? QStringLiteral(":*") : QString());
        }
    }
    return terms.join(sqlite ? QStringLiteral(" ") : QStringLiteral(" & "));
}

// SQLite has no statement timeout: its progress handler stops a statement
// that runs past the deadline.
class SqliteDeadline
{
public:
    SqliteDeadline(const ForumStore &store, int timeoutMs) : m_deadline(timeoutMs)
    {
        const QVariant handle = store.database().driver()->handle();
        if (isSqlite(store) && handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
            m_db = *static_cast<sqlite3 *const *>(handle.constData());
        if (m_db)
            sqlite3_progress_handler(m_db, 1000, &SqliteDeadline::expired, this);
    }
    ~SqliteDeadline()
    {
        if (m_db)
            sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    }
    SqliteDeadline(const SqliteDeadline &) = delete;
    SqliteDeadline &operator=(const SqliteDeadline &) = delete;

private:
    static int expired(void *self)
    {
        return static_cast<SqliteDeadline *>(self)->m_deadline.hasExpired() ? 1 : 0;
    }
    QDeadlineTimer m_deadline;
    sqlite3 *m_db = nullptr;
};

// SQLite: FTS5 walks its index from the newest id down and stops at `limit`;
// hidden messages (few, indexed apart) are left out without reading any row.
constexpr char sqliteIds[] = "SELECT rowid FROM message_words WHERE message_words MATCH ? "
                             "AND rowid NOT IN (SELECT id FROM messages WHERE hidden <> 0) "
                             "ORDER BY rowid DESC LIMIT ?";
// SQLite, a last word longer than the starts FTS5 keeps an index of: FTS5
// would gather every word of that start first (a common start: a tenth of
// all messages). The newest messages holding its indexed start are read
// instead, their words checked for the whole start; only when they hold too
// few is the whole start gathered. `?` candidates at most.
constexpr char sqliteNewest[] = "SELECT m.id FROM (SELECT rowid AS id FROM message_words "
                                "WHERE message_words MATCH ? ORDER BY rowid DESC LIMIT ?) c "
                                "JOIN messages m ON m.id = c.id WHERE m.hidden = 0 "
                                "AND ' ' || m.words LIKE ? ORDER BY m.id DESC LIMIT ?";
// PostgreSQL, first the newest messages one by one, their words (a list the
// index reads as it is) matched by LIKE: cheap when the words are common (a
// few hundred rows hold the page). For rarer words the index (below) is
// quicker, which the planner cannot tell: it knows nothing of the cost of
// folding each row's words again. Only the newest `?` rows are looked at;
// the words' conditions follow (" AND w LIKE ?" each).
constexpr char pgNewest[] = "SELECT id FROM (SELECT id, ' ' || words || ' ' AS w FROM messages "
                            "WHERE hidden = 0 ORDER BY id DESC LIMIT ?) m WHERE true";
// The index, one range of ids at a time (`id > ? AND id <= ?`), newest first.
// In the newest twentieth of the ids the planner joins the index's matches
// with the key's range before any row is read, so a word in one message of
// a thousand reads its few rows there, not each of its thousand. The rest
// is read as before: a larger range costs more in the key than it saves
// (a word rare enough to get there has few rows to read).
constexpr char pgIndexed[] = "SELECT id FROM messages "
                             "WHERE array_to_tsvector(string_to_array(words, ' ')) "
                             "@@ CAST(? AS tsquery) AND hidden = 0 AND id > ? AND id <= ? "
                             "ORDER BY id DESC LIMIT ?";
constexpr qint64 rangeShares[] = {20, 1}; // the newest 1/20 of the ids, then all the rest
// Rows looked at one by one per id wanted before the whole index is used
// instead (words in fewer than one message in this many). On SQLite the
// rows are those of the indexed start, read at a row each: a few, the
// longer start being common among them or not worth the rows.
constexpr qint64 newestPerWanted = 200;
constexpr qint64 startsPerWanted = 10;
constexpr qint64 maxNewest = 20000;

bool readIds(QSqlQuery &query, QList<qint64> *ids)
{
    if (!query.exec())
        return false;
    ids->clear();
    while (query.next())
        ids->append(query.value(0).toLongLong());
    return !query.lastError().isValid();
}

// The ids of the matching messages shown on pages, newest first, `limit` at most.
bool sqliteMatches(QSqlQuery &query, const QStringList &words, qint64 limit, QList<qint64> *ids)
{
    // Only where LIKE and FTS5 surely see the same word: ASCII letters and digits.
    const QString &last = words.last();
    const auto plain = [](QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); };
    if (last.size() > minPrefixLength && std::all_of(last.begin(), last.end(), plain)) {
        QStringList indexedStart = words;
        indexedStart.last().truncate(minPrefixLength);
        query.prepare(QLatin1StringView(sqliteNewest));
        query.addBindValue(matchExpression(indexedStart, true));
        query.addBindValue(qMin(limit * startsPerWanted, maxNewest));
        query.addBindValue(QStringLiteral("% ") + last + u'%');
        query.addBindValue(limit);
        if (!readIds(query, ids))
            return false;
        if (ids->size() == limit)
            return true;
    }
    query.prepare(QLatin1StringView(sqliteIds));
    query.addBindValue(matchExpression(words, true));
    query.addBindValue(limit);
    return readIds(query, ids);
}

bool postgresMatches(const QSqlDatabase &db, QSqlQuery &query, const QStringList &words,
                     qint64 limit, QList<qint64> *ids)
{
    query.prepare(QLatin1StringView(pgNewest)
                  + QStringLiteral(" AND w LIKE ?").repeated(words.size())
                  + QStringLiteral(" ORDER BY id DESC LIMIT ?"));
    query.addBindValue(qMin(limit * newestPerWanted, maxNewest));
    for (qsizetype i = 0; i < words.size(); ++i) {
        QString word = words[i];
        word.replace(u'\\', QStringLiteral("\\\\"))
            .replace(u'%', QStringLiteral("\\%"))
            .replace(u'_', QStringLiteral("\\_"));
        query.addBindValue(QStringLiteral("% ") + word
                           + (isPrefix(words, i) ? QStringLiteral("%") : QStringLiteral(" %")));
    }
    query.addBindValue(limit);
    if (!readIds(query, ids))
        return false;
    if (ids->size() == limit)
        return true;
    // Not enough among the newest: the index finds the matches, range by
    // range, and the newest are sorted out of them (the planner, misled as
    // above, would walk all the rows one by one instead). The newest id is
    // read first, through the key the settings below turn off.
    if (!query.exec(QStringLiteral("SELECT max(id) FROM messages")) || !query.next())
        return false;
    const qint64 top = query.value(0).toLongLong();
    QSqlQuery setup(db);
    if (!setup.exec(QStringLiteral("SET LOCAL enable_indexscan = off"))
        || !setup.exec(QStringLiteral("SET LOCAL enable_seqscan = off")))
        return false;
    ids->clear();
    qint64 upper = top;
    for (qint64 share : rangeShares) {
        const qint64 lower = share == 1 ? std::numeric_limits<qint64>::min() : top - top / share;
        QList<qint64> found;
        query.prepare(QLatin1StringView(pgIndexed));
        query.addBindValue(matchExpression(words, false));
        query.addBindValue(lower);
        query.addBindValue(upper);
        query.addBindValue(limit - ids->size());
        if (!readIds(query, &found))
            return false;
        ids->append(found);
        if (ids->size() == limit)
            return true;
        upper = lower;
    }
    return true;
}

bool readHits(const ForumStore &store, const QList<qint64> &ids, QList<Hit> *hits)
{
    if (ids.isEmpty())
        return true;
    QStringList marks(ids.size(), QStringLiteral("?"));
    // Where a message is on its forum's pages: the messages numbered after
    // it, less the hidden ones among them (few, and indexed apart).
    QSqlQuery query(store.database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT f.name, m.number, f.posted - m.number - "
                                 "(SELECT count(*) FROM messages h WHERE h.forum = m.forum "
                                 "AND h.hidden <> 0 AND h.number > m.number), "
                                 "m.title_html, m.body_html FROM messages m "
                                 "JOIN forums f ON f.id = m.forum WHERE m.id IN (%1) "
                                 "ORDER BY m.id DESC")
                      .arg(marks.join(u',')));
    for (qint64 id : ids)
        query.addBindValue(id);
    if (!query.exec())
        return false;
    while (query.next())
        hits->append({query.value(0).toString(), query.value(1).toLongLong(),
                      query.value(2).toLongLong(), query.value(3).toString(),
                      query.value(4).toString()});
    return !query.lastError().isValid();
}

} // namespace

Found find(const ForumStore &store, const QStringList &words, qint64 page, int perPage,
           int timeoutMs)
{
    Found found;
    if (!store.isAvailable() || words.isEmpty())
        return found;
    QSqlDatabase db = store.database();
    const bool sqlite = isSqlite(store);
    const SqliteDeadline deadline(store, timeoutMs);
    // One snapshot for all its statements; on PostgreSQL the timeout is this transaction's.
    if (!db.transaction())
        return found;
    QSqlQuery setup(db);
    if (!sqlite && !setup.exec(QStringLiteral("SET LOCAL statement_timeout = %1").arg(timeoutMs))) {
        db.rollback();
        return found;
    }
    // Counted only as far as the page asked for (one more: whether more follow).
    const qint64 maxPages = maxCounted / perPage;
    const qint64 wanted = qMin(page, maxPages) * perPage;
    QList<qint64> ids;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!(sqlite ? sqliteMatches(query, words, wanted + 1, &ids)
                 : postgresMatches(db, query, words, wanted + 1, &ids))) {
        db.rollback();
        return found;
    }
    found.more = ids.size() > wanted;
    found.total = qMin(qint64(ids.size()), wanted);
    const qint64 last = found.more ? wanted / perPage
                                   : qMax<qint64>(1, (found.total + perPage - 1) / perPage);
    found.page = qBound<qint64>(1, page, last);
    const QList<qint64> shown = ids.mid((found.page - 1) * perPage, perPage);
    found.ok = readHits(store, shown, &found.hits);
    db.rollback(); // read only
    return found;
}

int indexOlder(ForumStore &store, int count)
{
    if (!store.isAvailable())
        return -1;
    QSqlDatabase db = store.database();
    if (!db.transaction())
        return -1;
    QSqlQuery query(db);
    const auto fail = [&db] {
        db.rollback();
        return -1;
    };
    if (!query.exec(QStringLiteral("SELECT below FROM search_backlog")) || !query.next())
        return fail();
    const qint64 below = query.value(0).toLongLong();
    QSqlQuery read(db); // not forward-only: PostgreSQL's rows are all read before the writes
    read.prepare(QStringLiteral("SELECT id, title_html, body_html FROM messages WHERE id < ? "
                                "ORDER BY id DESC LIMIT ?"));
    read.addBindValue(below);
    read.addBindValue(count);
    if (!read.exec())
        return fail();
    QSqlQuery write(db);
    write.prepare(QStringLiteral("UPDATE messages SET words = ? WHERE id = ?"));
    int done = 0;
    qint64 lowest = below;
    while (read.next()) {
        lowest = read.value(0).toLongLong();
        write.bindValue(0, searchtext::indexed(read.value(1).toString(), read.value(2).toString()));
        write.bindValue(1, lowest);
        if (!write.exec())
            return fail();
        ++done;
    }
    if (done > 0) {
        query.prepare(QStringLiteral("UPDATE search_backlog SET below = ?"));
        query.addBindValue(lowest);
        if (!query.exec())
            return fail();
    }
    return db.commit() ? done : fail();
}

} // namespace messagesearch
