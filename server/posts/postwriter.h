#pragma once
// The one writer of posts: a thread of its own with its own connection to
// the database, storing whatever is ready in one transaction per batch,
// with the spool's mark in the same transaction.
//
// Posts are numbered as they arrive and stored in that order, whichever
// worker finished sanitizing first, by PostStorer's rules: whatever the
// database's failure, tried again for as long as the server runs (the spool
// keeps the posts meanwhile); a post the database refuses while it stores
// others is quarantined, never dropped.

#include "server/posts/poststorer.h"

#include <QMutex>
#include <QStringList>
#include <QObject>
#include <QThread>
#include <QWaitCondition>
#include <map>
#include <memory>

// Lives on the main thread; owns the writer thread, where it stores and
// whence it emits its signals. hand() is called from the pool's threads.
class PostWriter : public QObject
{
    Q_OBJECT
public:
    // firstSequence: the number of the first post to be handed over.
    PostWriter(const DatabaseUrl &database, const QString &spoolId, const QString &dataDir,
               quint64 firstSequence, QObject *parent = nullptr);
    ~PostWriter() override; // stop(), waiting for as long as it takes

    void start();
    // Stores what is ready while the database takes it, then ends; a
    // failure is no longer tried again (the spool keeps the rest). False
    // if the thread is still in a statement at the deadline: it is left behind.
    bool stop(int deadlineMs);

    // A post ready to store (its forum known), holding `bytes` of memory
    // until then. Its log line is head + the outcome + tail.
    struct Post
    {
        NewMessage message;
        QString peer; // the sender and forum, kept with the post if it is quarantined
        QString forum;
        qint64 bytes = 0;
        QString head;
        QString tail;
        bool withdrawn = false; // its spool write failed: only its place is recorded
    };
    void hand(quint64 sequence, Post post);

signals:
    // From the writer's thread, after each batch: a line per post, the
    // number of the last post dealt with (stored or quarantined), the forums
    // that gained messages, the bytes and the count of posts the batch held,
    // and the count quarantined.
    void stored(const QStringList &lines, quint64 upTo, const QList<qint64> &forumIds,
                qint64 bytes, qint64 posts, qint64 quarantined);
    void lost(const QString &why); // the writer cannot reach the database
    void back();
    // The database fails to store: said as the pause before the next try
    // grows, until it stores again (storing).
    void waiting(const QString &why, int retryMs);
    void storing();

private:
    void run(); // the writer thread's loop
    bool pause(int ms); // false when stopping

    DatabaseUrl m_database;
    QString m_spoolId;
    QString m_dataDir;
    std::unique_ptr<QThread> m_thread;
    QMutex m_mutex;
    QWaitCondition m_work;
    std::map<quint64, Post> m_ready;
    quint64 m_next; // the next number to store
    bool m_stopping = false;
    bool m_gathering = false; // after a commit: woken only by enough posts or a stop
    bool m_ended = false;
};
