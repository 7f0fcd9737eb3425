#pragma once
// The one writer of posts: a thread of its own with its own connection to
// the database, storing whatever is ready in one transaction per batch.
//
// Posts are numbered as they arrive and stored in that order, whichever
// worker finished sanitizing first. A batch the database refuses is tried
// again; one it cannot take because it is gone waits until it answers.

#include "server/forumstore.h"

#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>
#include <map>

class PostWriter : public QThread
{
    Q_OBJECT
public:
    explicit PostWriter(const DatabaseUrl &database, QObject *parent = nullptr);
    ~PostWriter() override; // stores everything handed over, then ends

    // Post number `sequence` (counted from 1), ready to store. Its log line is
    // head + the outcome + tail.
    void hand(quint64 sequence, NewMessage message, const QString &head,
              const QString &tail = {});

signals:
    // From the writer's thread, after each commit: a line per post, and
    // the number of the last post dealt with.
    void stored(const QStringList &lines, quint64 upTo);

protected:
    void run() override;

private:
    struct Item
    {
        NewMessage message;
        QString head;
        QString tail;
    };

    bool store(ForumStore &store, const QList<NewMessage> &batch, QString *why);

    DatabaseUrl m_database;
    QMutex m_mutex;
    QWaitCondition m_work;
    std::map<quint64, Item> m_ready;
    quint64 m_next = 1;     // the next number to store
    bool m_stopping = false;
};
