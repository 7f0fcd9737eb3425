#pragma once
// What happens to a post once its sender has closed: checked here, made
// safe on worker threads, stored by the one writer in batches.

#include "server/serverconfig.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <atomic>

class ForumStore;
class PostWriter;

class PostPipeline : public QObject
{
    Q_OBJECT
public:
    PostPipeline(ForumStore &store, const DatabaseUrl &database, LogSink log,
                 QObject *parent = nullptr);
    ~PostPipeline() override; // every post taken in is stored first

    void start();

    // The whole request of a sender that has closed.
    void take(const QString &peer, const QByteArray &request);

    // The number of the last post taken, and whether every post up to a
    // number has been stored (or refused); a page shown after a post waits
    // for it without holding up the other ports.
    quint64 taken() const { return m_taken; }
    bool isStored(quint64 upTo) const { return m_storedUpTo >= upTo; }

signals:
    void storedUpTo(quint64 upTo);

private:
    std::optional<qint64> forumId(const QString &name);

    ForumStore &m_store;
    LogSink m_log;
    QThreadPool m_workers;
    std::unique_ptr<PostWriter> m_writer;
    QHash<QString, qint64> m_forumIds; // forums are never removed
    quint64 m_taken = 0;
    quint64 m_storedUpTo = 0;
    std::atomic<qint64> m_pendingBytes{0};
};
