#pragma once
// What happens to a post once its sender has closed: checked here, written
// to the spool (acknowledged once it is on the disk), made safe (at once
// when small and plain, else on worker threads), stored by the one writer
// in batches once it is on the disk.
//
// Posts waiting in memory are counted from the moment they are taken in
// until they are committed, by number and by the bytes they hold (their
// HTML in UTF-16 included: until it is made, the most it can come to; and a
// fixed overhead); past either bound the pipeline asks for no more (the post port
// stops accepting) until the writer is down to seven eighths of both. Past
// the spool's budget on disk, posts are refused.

#include "server/base/logsink.h"
#include "server/posts/spool.h"
#include "server/store/databaseurl.h"
#include "server/wire/postintake.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <deque>
#include <memory>

class ForumDirectory;
class PostWriter;
class SpoolThread;
class SyncedPosts;
class StoreThread;

// Lives on the main thread; sanitizes there or on its pool's threads, writes the
// spool on the spool's thread and stores through the writer's thread.
class PostPipeline : public QObject, public PostIntake
{
    Q_OBJECT
public:
    struct Settings
    {
        DatabaseUrl database;
        bool directoryIsWhole = true; // false: other servers may have created forums
        qint64 spoolBudget = qint64(1) << 30;
        quint64 lastSequence = 0; // the spool's (and the database's mark) at start
        int spoolFlushDelayMs = 0; // tests: a slow disk
    };
    PostPipeline(ForumDirectory &directory, StoreThread &store, Spool spool,
                 const Settings &settings, LogSink log, QObject *parent = nullptr);
    ~PostPipeline() override; // stop(), however long the writer takes

    void start();
    // Every post taken in is flushed to the spool and acknowledged, any
    // other waiting one refused; the writer stores what it can by the
    // deadline. False: the spool or the writer is still at work (in a flush,
    // or a statement) and must be left behind.
    bool stop(int deadlineMs);

    // The whole request of a sender that has closed.
    void take(const QString &peer, const QByteArray &request, Done done) override;

    // The number of the last post taken, and whether every post up to a
    // number has been stored (or refused); a page shown after a post waits
    // for it without holding up the other ports.
    quint64 taken() const { return m_taken; }
    bool isStored(quint64 upTo) const { return m_storedUpTo >= upTo; }
    // The number of the last post to a forum not yet stored; 0 if none waits.
    quint64 takenFor(const QString &forum) const { return m_lastTakenFor.value(forum); }
    bool isFull() const { return m_full; }
    quint64 waitingInSpool() const { return m_taken - m_storedUpTo; }

    static constexpr qint64 maxPendingBytes = 64 * 1024 * 1024;
    static constexpr qint64 maxPendingPosts = 100000;
    static constexpr qint64 postOverhead = 512; // a post's bookkeeping beside its bytes

signals:
    // Forums that gained messages come first, then the posts that are stored.
    void committed(const QList<qint64> &forumIds);
    void storedUpTo(quint64 upTo);
    void fullChanged(bool full); // true: take in no more for now
    void lost(const QString &why); // the writer cannot reach the database
    void back();
    // The database answers but fails to store (full, read-only...), until storing().
    void failing(const QString &why);
    void storing();

private:
    void accept(const QString &peer, const QByteArray &request, qint64 forumId,
                const QString &forum, Done done);
    void refuse(const QString &peer, const char *reason, const QString &why, const Done &done);
    void synced(quint64 upTo);
    void stored(const QStringList &lines, quint64 upTo, const QList<qint64> &forumIds,
                qint64 bytes, qint64 posts, qint64 quarantined);
    void updateFull();

    ForumDirectory &m_directory;
    StoreThread &m_store;
    Settings m_settings;
    LogSink m_log;
    QThreadPool m_workers;
    std::unique_ptr<SpoolThread> m_spool;
    std::unique_ptr<PostWriter> m_writer;
    std::unique_ptr<SyncedPosts> m_synced;
    struct Unsynced
    {
        quint64 sequence;
        qint64 recordBytes; // of the spool's budget
        Done done;
    };
    std::deque<Unsynced> m_unsynced; // taken, not yet on the disk
    quint64 m_taken = 0;
    quint64 m_storedUpTo = 0;
    QHash<QString, quint64> m_lastTakenFor; // forums with posts not yet stored
    qint64 m_pendingBytes = 0; // taken in and not yet committed, overhead included
    qint64 m_pendingPosts = 0;
    qint64 m_spoolBytes = 0;
    bool m_full = false;
    bool m_stopped = false;
};
