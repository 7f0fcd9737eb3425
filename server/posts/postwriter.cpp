#include "server/posts/postwriter.h"

#include "server/base/servermetrics.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSet>

namespace {
// Bounds one transaction, so that a long backlog still commits often.
constexpr int maxBatch = 2000;
constexpr int firstRetryMs = 100;
constexpr int longestRetryMs = 5000;
} // namespace

struct PostWriter::Batch
{
    QList<quint64> sequences;
    QList<Post> posts;
    QList<int> outcome; // per post: 0 not yet, 1 stored, 2 refused
    QStringList why;    // per post refused: the database's words
};

PostWriter::PostWriter(const DatabaseUrl &database, const QString &spoolId,
                       quint64 firstSequence, QObject *parent)
    : QObject(parent), m_database(database), m_spoolId(spoolId),
      m_thread(QThread::create([this] { run(); })), m_next(firstSequence)
{
    m_thread->setObjectName(QStringLiteral("writer"));
}

void PostWriter::start()
{
    m_thread->start();
}

bool PostWriter::stop(int deadlineMs)
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_work.wakeAll();
    }
    return !m_thread->isRunning() || m_thread->wait(QDeadlineTimer(deadlineMs));
}

PostWriter::~PostWriter()
{
    stop(0);
    m_thread->wait();
}

void PostWriter::hand(quint64 sequence, Post post)
{
    QMutexLocker lock(&m_mutex);
    m_ready.emplace(sequence, std::move(post));
    if (sequence == m_next)
        m_work.wakeAll();
}

bool PostWriter::stopping()
{
    QMutexLocker lock(&m_mutex);
    return m_stopping;
}

bool PostWriter::pause(int ms)
{
    QMutexLocker lock(&m_mutex);
    if (!m_stopping)
        m_work.wait(&m_mutex, QDeadlineTimer(ms));
    return !m_stopping;
}

// Tries every second until it opens or the server stops.
bool PostWriter::reconnect(ForumStore &store, QString *why)
{
    while (!store.reconnect(why)) {
        if (!pause(1000))
            return false;
    }
    emit back();
    return true;
}

PostWriter::Outcome PostWriter::commit(ForumStore &store, Batch &batch, qsizetype from,
                                       qsizetype to)
{
    QList<NewMessage> messages;
    for (qsizetype i = from; i < to; ++i) {
        if (!batch.posts[i].withdrawn)
            messages.append(batch.posts[i].message);
    }
    const quint64 mark = batch.sequences[to - 1];
    int retryMs = firstRetryMs;
    for (;;) {
        QElapsedTimer clock;
        clock.start();
        if (store.isAvailable() && store.addMessages(messages, m_spoolId, mark)) {
            if (!messages.isEmpty())
                metrics::batchCommitted(messages.size(), double(clock.nsecsElapsed()) / 1e9);
            for (qsizetype i = from; i < to; ++i)
                batch.outcome[i] = batch.outcome[i] == 0 ? 1 : batch.outcome[i];
            return Outcome::Done;
        }
        if (stopping())
            return Outcome::Stopped; // what is not stored waits in the spool
        QString why = store.lastError();
        if (!store.isAvailable()) {
            emit lost(why);
            if (!reconnect(store, &why))
                return Outcome::Stopped;
            continue;
        }
        if (store.lastErrorIsTransient()) {
            emit waiting(why, retryMs);
            if (!pause(retryMs))
                return Outcome::Stopped;
            retryMs = std::min(retryMs * 2, longestRetryMs);
            continue;
        }
        // Refused for good: halve until the one post the database refuses is found.
        if (messages.isEmpty())
            return Outcome::Done; // the mark alone: recorded with the next batch
        if (to - from == 1) {
            batch.outcome[from] = 2;
            batch.why[from] = why;
            messages.clear(); // its place in the spool is recorded all the same
            continue;
        }
        const qsizetype middle = from + (to - from) / 2;
        if (commit(store, batch, from, middle) == Outcome::Stopped)
            return Outcome::Stopped;
        return commit(store, batch, middle, to);
    }
}

void PostWriter::run()
{
    ForumStore store;
    bool opened = false;
    for (;;) {
        Batch batch;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && (m_ready.empty() || m_ready.begin()->first != m_next))
                m_work.wait(&m_mutex);
            if (m_ready.empty() || m_ready.begin()->first != m_next)
                return; // stopping, and everything handed over is dealt with
            while (!m_ready.empty() && m_ready.begin()->first == m_next
                   && batch.posts.size() < maxBatch) {
                batch.posts.append(std::move(m_ready.begin()->second));
                batch.sequences.append(m_next++);
                m_ready.erase(m_ready.begin());
            }
        }
        // Opened with the first post, so that an idle server holds one connection less.
        if (!opened) {
            QString error;
            opened = store.connect(m_database, &error);
            if (!opened) {
                emit lost(error);
                opened = reconnect(store, &error);
            }
        }
        batch.outcome.fill(0, batch.posts.size());
        batch.why.resize(batch.posts.size());
        const Outcome outcome = commit(store, batch, 0, batch.posts.size());
        QStringList log;
        QSet<qint64> forums;
        qint64 bytes = 0;
        qint64 refused = 0;
        qint64 dealt = 0;
        for (qsizetype i = 0; i < batch.posts.size(); ++i) {
            const Post &post = batch.posts[i];
            if (batch.outcome[i] == 0)
                break; // stopping: the rest waits in the spool
            ++dealt;
            bytes += post.bytes;
            if (post.withdrawn)
                continue;
            if (batch.outcome[i] == 1) {
                forums.insert(post.message.forumId);
                log.append(post.head + QStringLiteral("stored") + post.tail);
            } else {
                ++refused;
                metrics::postRefused("database");
                log.append(post.head + QStringLiteral("not stored, the database refuses it: ")
                           + batch.why[i] + post.tail);
            }
        }
        if (dealt > 0)
            emit stored(log, batch.sequences[dealt - 1], forums.values(), bytes, dealt, refused);
        if (outcome == Outcome::Stopped)
            return;
    }
}
