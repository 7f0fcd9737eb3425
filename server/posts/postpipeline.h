#pragma once
// What happens to a post once its sender has closed: checked here, made
// safe on worker threads, stored by the one writer in batches.
//
// The bytes of posts are counted from the moment they are taken in until
// they are committed; past a bound the pipeline asks for no more (the post
// port stops accepting) until the writer has caught up.

#include "server/base/logsink.h"
#include "server/store/databaseurl.h"
#include "server/wire/postintake.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <memory>

class ForumDirectory;
class PostWriter;

// Lives on the main thread; sanitizes on its pool's threads and stores
// through the writer's thread.
class PostPipeline : public QObject, public PostIntake
{
    Q_OBJECT
public:
    PostPipeline(const ForumDirectory &directory, const DatabaseUrl &database,
                 bool directoryIsWhole, LogSink log, QObject *parent = nullptr);
    ~PostPipeline() override; // every post taken in is stored first

    void start();

    // The whole request of a sender that has closed.
    void take(const QString &peer, const QByteArray &request) override;

    // The number of the last post taken, and whether every post up to a
    // number has been stored (or refused); a page shown after a post waits
    // for it without holding up the other ports.
    quint64 taken() const { return m_taken; }
    bool isStored(quint64 upTo) const { return m_storedUpTo >= upTo; }
    // The number of the last post to a forum not yet stored; 0 if none waits.
    quint64 takenFor(const QString &forum) const { return m_lastTakenFor.value(forum); }
    bool isFull() const { return m_full; }

    static constexpr qint64 maxPendingBytes = 64 * 1024 * 1024;

signals:
    // Forums that gained messages come first, then the posts that are stored.
    void committed(const QList<qint64> &forumIds);
    void storedUpTo(quint64 upTo);
    void fullChanged(bool full); // true: take in no more for now
    void lost(const QString &why); // the writer cannot reach the database
    void back();

private:
    const ForumDirectory &m_directory;
    bool m_directoryIsWhole; // false: other servers may have created forums
    LogSink m_log;
    QThreadPool m_workers;
    std::unique_ptr<PostWriter> m_writer;
    quint64 m_taken = 0;
    quint64 m_storedUpTo = 0;
    QHash<QString, quint64> m_lastTakenFor; // forums with posts not yet stored
    qint64 m_pendingBytes = 0; // taken in and not yet committed
    bool m_full = false;
};
