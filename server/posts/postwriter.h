#pragma once
// The one writer of posts: a thread of its own with its own connection to
// the database, storing whatever is ready in one transaction per batch.
//
// Posts are numbered as they arrive and stored in that order, whichever
// worker finished sanitizing first. A batch the database refuses is tried
// again; one it cannot take because it is gone (or not yet open) waits until
// it answers, reconnecting every second.

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
    explicit PostWriter(const DatabaseUrl &database, QObject *parent = nullptr);
    ~PostWriter() override; // stores everything handed over, then ends

    void start();

    // Post number `sequence` (counted from 1), ready to store, holding `bytes`
    // of memory until then. Its log line is head + the outcome + tail. A
    // message without a forum id names its forum in `forum`, looked up here;
    // if there is none, its line is `unknown` instead.
    struct Post
    {
        NewMessage message;
        qint64 bytes = 0;
        QString head;
        QString tail;
        QString forum;
        QString unknown;
    };
    void hand(quint64 sequence, Post post);

signals:
    // From the writer's thread, after each commit: a line per post, the
    // number of the last post dealt with, the forums that gained messages,
    // and the bytes the batch held.
    void stored(const QStringList &lines, quint64 upTo, const QList<qint64> &forumIds,
                qint64 bytes);
    void lost(const QString &why); // the writer cannot reach the database
    void back();

private:
    void run(); // the writer thread's loop
    bool open(ForumStore &store, QString *why);
    bool reconnect(ForumStore &store, QString *why);
    bool store(ForumStore &store, const QList<NewMessage> &batch, QString *why);
    // False while the database cannot say whether a forum exists.
    bool findForums(ForumStore &store, QList<Post> &batch, QString *why);

    DatabaseUrl m_database;
    std::unique_ptr<QThread> m_thread;
    QMutex m_mutex;
    QWaitCondition m_work;
    std::map<quint64, Post> m_ready;
    quint64 m_next = 1;     // the next number to store
    bool m_stopping = false;
};
