#pragma once
// The spool's own thread: appends the records the main thread queues and
// flushes them to the disk once per group, then says how far it got; deletes
// segments the database has stored. The main thread never waits on the disk.

#include "server/posts/spool.h"

#include <QMutex>
#include <QObject>
#include <QThread>
#include <QWaitCondition>
#include <memory>

// Lives on the main thread; owns the spool thread, where it writes and
// whence it emits its signals.
class SpoolThread : public QObject
{
    Q_OBJECT
public:
    explicit SpoolThread(Spool spool, QObject *parent = nullptr);
    ~SpoolThread() override; // stop()

    void start();
    // Record `sequence`, encoded; sequences come in increasing order.
    void append(quint64 sequence, const QByteArray &record);
    // The database holds every record up to this one.
    void trim(quint64 storedUpTo);
    // Writes and flushes whatever is queued, then ends the thread; false if
    // a flush is still under way at the deadline (-1: none).
    bool stop(int deadlineMs = -1);
    // Tests: each flush first waits this long, as on a slow disk.
    void setFlushDelay(int ms) { m_flushDelayMs = ms; }

signals:
    void synced(quint64 upTo); // every record up to this one is on the disk
    void failed(const QString &why, quint64 upTo); // these records are not
    void trimmed(qint64 bytes); // segments deleted

private:
    void run();

    Spool m_spool;
    std::unique_ptr<QThread> m_thread;
    QMutex m_mutex;
    QWaitCondition m_work;
    QByteArray m_queued;
    quint64 m_queuedFirst = 0;
    quint64 m_queuedLast = 0;
    quint64 m_trimTo = 0;
    bool m_stopping = false;
    int m_flushDelayMs = 0;
};
