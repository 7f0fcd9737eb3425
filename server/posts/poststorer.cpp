#include "server/posts/poststorer.h"

#include "server/base/servermetrics.h"

#include <QElapsedTimer>

namespace {
constexpr int firstRetryMs = 100;
constexpr int longestRetryMs = 5000;
} // namespace

PostStorer::PostStorer(ForumStore &store, const QString &spoolId, const Quarantine &quarantine,
                       Hooks hooks)
    : m_store(store), m_spoolId(spoolId), m_quarantine(quarantine), m_hooks(std::move(hooks))
{
}

Quarantine::Entry PostStorer::entryFor(const QString &spoolId, const Post &post,
                                       const QString &why)
{
    // The request as it came: the forum and the title hold no '*'.
    const QByteArray request =
        post.forum.toUtf8() + '*' + post.message.title + '*' + post.message.body;
    return {spoolId, post.sequence, post.message.arrived, post.peer, request, why};
}

bool PostStorer::quarantine(const Quarantine::Entry &entry, QString *error)
{
    if (!m_quarantine.add(entry, error))
        return false;
    metrics::postQuarantined();
    return true;
}

bool PostStorer::store(const QList<Post> &posts, QList<Fate> *fates, QStringList *why)
{
    fates->fill(Fate::Waiting, posts.size());
    why->clear();
    why->resize(posts.size());
    m_posts = &posts;
    m_fates = fates;
    m_why = why;
    return posts.isEmpty() || range(0, posts.size());
}

// Tries every second until it opens or pause() says stop.
bool PostStorer::reconnect()
{
    QString why = m_store.lastError();
    if (m_hooks.lost)
        m_hooks.lost(why);
    while (!m_store.reconnect(&why)) {
        if (!m_hooks.pause(1000))
            return false;
    }
    if (m_hooks.back)
        m_hooks.back();
    return true;
}

bool PostStorer::wait(const QString &why, int *retryMs)
{
    // Said while the pause grows, not once per try: a long outage is a few lines.
    if (!m_waiting || *retryMs < longestRetryMs) {
        if (m_hooks.waiting)
            m_hooks.waiting(why, *retryMs);
    }
    m_waiting = true;
    if (!m_hooks.pause(*retryMs))
        return false;
    *retryMs = std::min(*retryMs * 2, longestRetryMs);
    return true;
}

bool PostStorer::retry(const std::function<bool()> &attempt)
{
    int retryMs = firstRetryMs;
    for (;;) {
        if (!m_store.isAvailable() && !reconnect())
            return false;
        if (attempt()) {
            stored();
            return true;
        }
        if (m_store.isAvailable() && !wait(m_store.lastError(), &retryMs))
            return false;
    }
}

void PostStorer::stored()
{
    if (m_waiting && m_hooks.storing)
        m_hooks.storing();
    m_waiting = false;
}

bool PostStorer::range(qsizetype from, qsizetype to)
{
    const QList<Post> &posts = *m_posts;
    QList<NewMessage> messages;
    for (qsizetype i = from; i < to; ++i) {
        if (!posts[i].withdrawn)
            messages.append(posts[i].message);
    }
    const quint64 mark = posts[to - 1].sequence;
    const auto done = [&] {
        for (qsizetype i = from; i < to; ++i) {
            if ((*m_fates)[i] == Fate::Waiting)
                (*m_fates)[i] = Fate::Stored;
        }
        stored();
        return true;
    };
    int retryMs = firstRetryMs;
    bool markUnknown = false;
    for (;;) {
        if (!m_store.isAvailable() && !reconnect())
            return false;
        if (markUnknown) {
            // The last try may have committed, its reply lost with the session.
            bool read = false;
            const quint64 storedUpTo = m_store.spoolMark(m_spoolId, &read);
            if (!read) {
                if (m_store.isAvailable() && !wait(m_store.lastError(), &retryMs))
                    return false;
                continue;
            }
            markUnknown = false;
            if (storedUpTo >= mark)
                return done();
        }
        QElapsedTimer clock;
        clock.start();
        if (m_store.addMessages(messages, m_spoolId, mark)) {
            if (!messages.isEmpty())
                metrics::batchCommitted(messages.size(), double(clock.nsecsElapsed()) / 1e9);
            return done();
        }
        markUnknown = true;
        if (!m_store.isAvailable())
            continue;
        const QString why = m_store.lastError();
        if (!messages.isEmpty() && m_store.lastErrorConcernsRows()) {
            markUnknown = false; // refused, not cut off: nothing was committed
            if (to - from > 1) {
                const qsizetype middle = from + (to - from) / 2;
                return range(from, middle) && range(middle, to);
            }
            // One post alone. Quarantined only if the database takes a write
            // now (the mark of the posts before it), so that a database that
            // fails every post keeps them all waiting instead.
            QString error;
            if (m_store.addMessages({}, m_spoolId, posts[from].sequence - 1)) {
                if (quarantine(entryFor(m_spoolId, posts[from], why), &error)) {
                    (*m_fates)[from] = Fate::Quarantined;
                    (*m_why)[from] = why;
                    messages.clear(); // its mark alone now
                    continue;
                }
                if (!wait(QStringLiteral("cannot quarantine a post the database refuses "
                                         "(%1): %2")
                              .arg(why.trimmed(), error),
                          &retryMs))
                    return false;
                continue;
            }
            markUnknown = true;
            if (!m_store.isAvailable())
                continue;
        }
        if (!wait(why, &retryMs))
            return false;
    }
}
