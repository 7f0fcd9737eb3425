#pragma once
// The one writer of posts: a thread of its own with its own connection to
// the database, storing whatever is ready in one transaction per batch,
// with the spool's mark in the same transaction.
//
// Posts are numbered as they arrive and stored in that order, whichever
// worker finished sanitizing first. A transient failure (a lock, a timeout,
// a lost connection) is tried again with a growing pause, for as long as
// the server runs: the spool keeps the posts meanwhile. A batch the
// database refuses for good is halved until the one post it refuses is
// found; that one is refused, its neighbours are stored.

#include "server/store/forumstore.h"

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
    PostWriter(const DatabaseUrl &database, const QString &spoolId, quint64 firstSequence,
               QObject *parent = nullptr);
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
        qint64 bytes = 0;
        QString head;
        QString tail;
        bool withdrawn = false; // its spool write failed: only its place is recorded
    };
    void hand(quint64 sequence, Post post);

signals:
    // From the writer's thread, after each batch: a line per post, the
    // number of the last post dealt with, the forums that gained messages,
    // the bytes and the count of posts the batch held, and the count the
    // database refused.
    void stored(const QStringList &lines, quint64 upTo, const QList<qint64> &forumIds,
                qint64 bytes, qint64 posts, qint64 refused);
    void lost(const QString &why); // the writer cannot reach the database
    void back();
    void waiting(const QString &why, int retryMs); // a transient failure, tried again

private:
    enum class Outcome { Done, Stopped };
    struct Batch; // the posts of one transaction and what became of them
    void run(); // the writer thread's loop
    bool reconnect(ForumStore &store, QString *why);
    bool pause(int ms); // false when stopping
    bool stopping();
    Outcome commit(ForumStore &store, Batch &batch, qsizetype from, qsizetype to);

    DatabaseUrl m_database;
    QString m_spoolId;
    std::unique_ptr<QThread> m_thread;
    QMutex m_mutex;
    QWaitCondition m_work;
    std::map<quint64, Post> m_ready;
    quint64 m_next; // the next number to store
    bool m_stopping = false;
    bool m_ended = false;
};
