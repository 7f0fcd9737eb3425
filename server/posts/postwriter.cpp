#include "server/posts/postwriter.h"

#include "server/base/servermetrics.h"

#include <QElapsedTimer>
#include <QSet>

namespace {
// Bounds one transaction, so that a long backlog still commits often.
constexpr int maxBatch = 2000;
} // namespace

PostWriter::PostWriter(const DatabaseUrl &database, QObject *parent)
    : QObject(parent), m_database(database), m_thread(QThread::create([this] { run(); }))
{
    m_thread->setObjectName(QStringLiteral("writer"));
}

void PostWriter::start()
{
    m_thread->start();
}

PostWriter::~PostWriter()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_work.wakeAll();
    }
    m_thread->wait();
}

void PostWriter::hand(quint64 sequence, Post post)
{
    QMutexLocker lock(&m_mutex);
    m_ready.emplace(sequence, std::move(post));
    if (sequence == m_next)
        m_work.wakeAll();
}

// Tries every second until it opens or the server stops.
bool PostWriter::open(ForumStore &store, QString *why)
{
    if (store.open(m_database, why))
        return true;
    emit lost(*why);
    return reconnect(store, why);
}

bool PostWriter::reconnect(ForumStore &store, QString *why)
{
    while (!store.reconnect(why)) {
        QMutexLocker lock(&m_mutex);
        if (m_stopping)
            return false;
        m_work.wait(&m_mutex, 1000);
    }
    emit back();
    return true;
}

bool PostWriter::findForums(ForumStore &store, QList<Post> &batch, QString *why)
{
    for (Post &post : batch) {
        if (post.message.forumId != 0)
            continue;
        const std::optional<qint64> id = store.forumId(post.forum);
        if (!id && !store.isAvailable()) {
            *why = store.lastError();
            return false;
        }
        post.message.forumId = id.value_or(-1); // -1: no such forum
    }
    return true;
}

bool PostWriter::store(ForumStore &store, const QList<NewMessage> &batch, QString *why)
{
    // Servers sharing a database may make one of two transactions give way:
    // a few more tries. A lost database is waited for as long as the server runs.
    for (int refusals = 0; refusals < 3;) {
        QElapsedTimer commit;
        commit.start();
        if (batch.isEmpty() || store.addMessages(batch)) {
            if (!batch.isEmpty())
                metrics::batchCommitted(batch.size(), double(commit.nsecsElapsed()) / 1e9);
            return true;
        }
        *why = store.lastError();
        if (store.isAvailable()) {
            ++refusals;
            continue;
        }
        emit lost(*why);
        if (!reconnect(store, why))
            return false;
    }
    return false;
}

void PostWriter::run()
{
    ForumStore store;
    QString error;
    bool opened = false;
    for (;;) {
        QList<Post> batch;
        quint64 last = 0;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && (m_ready.empty() || m_ready.begin()->first != m_next))
                m_work.wait(&m_mutex);
            if (m_ready.empty() || m_ready.begin()->first != m_next)
                return; // stopping, and everything handed over is stored
            while (!m_ready.empty() && m_ready.begin()->first == m_next
                   && batch.size() < maxBatch) {
                batch.append(std::move(m_ready.begin()->second));
                m_ready.erase(m_ready.begin());
                last = m_next++;
            }
        }
        opened = opened || open(store, &error);
        while (opened && !findForums(store, batch, &error)) {
            emit lost(error);
            opened = reconnect(store, &error);
        }
        QList<NewMessage> messages;
        QSet<qint64> forums;
        for (const Post &post : std::as_const(batch)) {
            if (post.message.forumId > 0) {
                messages.append(post.message);
                forums.insert(post.message.forumId);
            }
        }
        const bool committed = opened && this->store(store, messages, &error);
        const QString outcome =
            committed ? QStringLiteral("stored") : QStringLiteral("not stored: %1").arg(error);
        QStringList log;
        qint64 bytes = 0;
        for (const Post &post : std::as_const(batch)) {
            if (committed && post.message.forumId < 0)
                metrics::postRefused("unknown_forum");
            log.append(committed && post.message.forumId < 0 ? post.unknown
                                                            : post.head + outcome + post.tail);
            bytes += post.bytes;
        }
        emit stored(log, last, committed ? forums.values() : QList<qint64>(), bytes);
    }
}
