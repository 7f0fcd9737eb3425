#include "server/posts/postwriter.h"

#include "server/base/servermetrics.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSet>

namespace {
// Bounds one transaction, so that a long backlog still commits often.
constexpr int maxBatch = 2000;
// While posts stream in, a commit waits this long after the last one, or
// for this many posts: a commit costs about as much for a handful as for
// hundreds (SQLite's search index writes a segment at each), and a writer
// that committed whatever had come spent the CPU the ports need. A post
// after a quiet spell is stored at once.
constexpr int gatherMs = 10;
constexpr size_t gatherPosts = 500;
} // namespace

PostWriter::PostWriter(const DatabaseUrl &database, const QString &spoolId,
                       const QString &dataDir, quint64 firstSequence, QObject *parent)
    : QObject(parent), m_database(database), m_spoolId(spoolId), m_dataDir(dataDir),
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
    if (m_gathering ? m_ready.size() >= gatherPosts : sequence == m_next)
        m_work.wakeAll();
}

bool PostWriter::pause(int ms)
{
    QMutexLocker lock(&m_mutex);
    if (!m_stopping)
        m_work.wait(&m_mutex, QDeadlineTimer(ms));
    return !m_stopping;
}

void PostWriter::run()
{
    ForumStore store;
    PostStorer::Hooks hooks;
    hooks.pause = [this](int ms) { return pause(ms); };
    hooks.waiting = [this](const QString &why, int retryMs) { emit waiting(why, retryMs); };
    hooks.storing = [this] { emit storing(); };
    hooks.lost = [this](const QString &why) { emit lost(why); };
    hooks.back = [this] { emit back(); };
    PostStorer storer(store, m_spoolId, Quarantine(m_dataDir), hooks);
    bool opened = false;
    QElapsedTimer sinceCommit;
    for (;;) {
        QList<quint64> sequences;
        QList<Post> posts;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && (m_ready.empty() || m_ready.begin()->first != m_next))
                m_work.wait(&m_mutex);
            m_gathering = sinceCommit.isValid();
            while (m_gathering && !m_stopping && m_ready.size() < gatherPosts
                   && !sinceCommit.hasExpired(gatherMs))
                m_work.wait(&m_mutex, QDeadlineTimer(gatherMs - sinceCommit.elapsed()));
            m_gathering = false;
            if (m_ready.empty() || m_ready.begin()->first != m_next)
                return; // stopping, and everything handed over is dealt with
            while (!m_ready.empty() && m_ready.begin()->first == m_next
                   && posts.size() < maxBatch) {
                posts.append(std::move(m_ready.begin()->second));
                sequences.append(m_next++);
                m_ready.erase(m_ready.begin());
            }
        }
        // Opened with the first post, so that an idle server holds one connection less.
        if (!opened) {
            QString error;
            opened = store.connect(m_database, &error);
            if (!opened) {
                emit lost(error);
                while (!(opened = store.reconnect(&error))) {
                    if (!pause(1000))
                        return;
                }
                emit back();
            }
        }
        QList<PostStorer::Post> batch;
        batch.reserve(posts.size());
        for (qsizetype i = 0; i < posts.size(); ++i)
            batch.append({sequences[i], posts[i].message, posts[i].peer, posts[i].forum,
                          posts[i].withdrawn});
        QList<PostStorer::Fate> fates;
        QStringList why;
        const bool whole = storer.store(batch, &fates, &why);
        sinceCommit.start();
        batch.clear();
        QStringList log;
        QSet<qint64> forums;
        qint64 bytes = 0;
        qint64 quarantined = 0;
        qint64 dealt = 0;
        for (qsizetype i = 0; i < posts.size(); ++i) {
            const Post &post = posts[i];
            if (fates[i] == PostStorer::Fate::Waiting)
                break; // stopping: the rest waits in the spool
            ++dealt;
            bytes += post.bytes;
            if (post.withdrawn)
                continue; // only its place, which the mark passes
            if (fates[i] == PostStorer::Fate::Stored) {
                forums.insert(post.message.forumId);
                log.append(post.head + QStringLiteral("stored") + post.tail);
            } else {
                ++quarantined;
                log.append(post.head
                           + QStringLiteral("quarantined, the database refuses it: ")
                           + why[i].simplified() + post.tail);
            }
        }
        if (dealt > 0)
            emit stored(log, sequences[dealt - 1], forums.values(), bytes, dealt, quarantined);
        if (!whole)
            return;
    }
}
