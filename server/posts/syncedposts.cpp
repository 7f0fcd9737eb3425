#include "server/posts/syncedposts.h"

#include "server/base/mainthread.h"

SyncedPosts::SyncedPosts(PostWriter &writer, quint64 lastSequence, QObject *parent)
    : QObject(parent), m_writer(writer), m_decidedUpTo(lastSequence)
{
}

void SyncedPosts::put(quint64 sequence, qint64 charged, PostWriter::Post post)
{
    bool first = false;
    {
        QMutexLocker lock(&m_mutex);
        first = m_put.empty();
        m_put.push_back({sequence, charged, std::move(post)});
    }
    // One call for whatever the pool puts meanwhile.
    if (first)
        QMetaObject::invokeMethod(this, &SyncedPosts::deliver, Qt::QueuedConnection);
}

void SyncedPosts::deliver()
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    std::vector<Put> put;
    {
        QMutexLocker lock(&m_mutex);
        put.swap(m_put);
    }
    qint64 delta = 0;
    for (Put &one : put)
        delta += settle(std::move(one));
    if (delta != 0)
        emit recharged(delta);
}

void SyncedPosts::place(quint64 sequence, qint64 charged, PostWriter::Post post)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (const qint64 delta = settle({sequence, charged, std::move(post)}))
        emit recharged(delta);
}

qint64 SyncedPosts::settle(Put put)
{
    const qint64 delta = put.post.bytes - put.charged;
    if (m_withdrawn.erase(put.sequence) > 0) {
        put.post.withdrawn = true;
        m_writer.hand(put.sequence, std::move(put.post));
    } else if (put.sequence <= m_decidedUpTo) {
        m_writer.hand(put.sequence, std::move(put.post));
    } else {
        m_held.emplace(put.sequence, std::move(put.post));
    }
    return delta;
}

void SyncedPosts::synced(quint64 upTo)
{
    while (!m_held.empty() && m_held.begin()->first <= upTo) {
        m_writer.hand(m_held.begin()->first, std::move(m_held.begin()->second));
        m_held.erase(m_held.begin());
    }
    m_decidedUpTo = std::max(m_decidedUpTo, upTo);
}

void SyncedPosts::failed(quint64 upTo)
{
    for (quint64 sequence = m_decidedUpTo + 1; sequence <= upTo; ++sequence) {
        const auto held = m_held.find(sequence);
        if (held == m_held.end()) {
            m_withdrawn.insert(sequence);
            continue;
        }
        held->second.withdrawn = true;
        m_writer.hand(sequence, std::move(held->second));
        m_held.erase(held);
    }
    m_decidedUpTo = std::max(m_decidedUpTo, upTo);
}
