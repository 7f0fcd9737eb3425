#pragma once
// Posts made safe, held until the spool has them on the disk: the writer
// stores no post whose sender may yet be told it is refused. A post whose
// spool write failed is handed on withdrawn, so that the writer records its
// place and goes past it.

#include "server/posts/postwriter.h"

#include <QMutex>
#include <QObject>
#include <map>
#include <set>
#include <vector>

// Lives on the main thread; put() is called from the pool's threads.
class SyncedPosts : public QObject
{
    Q_OBJECT
public:
    SyncedPosts(PostWriter &writer, quint64 lastSequence, QObject *parent = nullptr);

    // A post made safe; `charged`: the bytes it was charged when taken in,
    // before its HTML was made (post.bytes: what it holds now).
    void put(quint64 sequence, qint64 charged, PostWriter::Post post);
    // The same, on the main thread: handed on (or held) at once.
    void place(quint64 sequence, qint64 charged, PostWriter::Post post);
    // Hands on at once what the pool has put (which it does on the loop's next turn).
    void deliver();
    // Every post up to this one is on the disk, or none of those since the last mark is.
    void synced(quint64 upTo);
    void failed(quint64 upTo);

signals:
    void recharged(qint64 delta); // a post's bytes, changed now that its HTML is made

private:
    struct Put
    {
        quint64 sequence;
        qint64 charged;
        PostWriter::Post post;
    };
    qint64 settle(Put put); // hands on or holds; returns its change of charge
    PostWriter &m_writer;
    QMutex m_mutex;
    std::vector<Put> m_put; // from the pool, not yet delivered
    std::map<quint64, PostWriter::Post> m_held; // safe, not yet on the disk
    std::set<quint64> m_withdrawn; // their spool write failed before they were made safe
    quint64 m_decidedUpTo; // the spool has said how each post up to this one fared
};
