#pragma once
// The rules by which acknowledged posts reach the database, the same for
// the writer and for the spool's replay (at start and by `drain`):
//
// - one transaction per batch, the spool's mark in it;
// - a failure the database gives for its own state (full, read-only, lost,
//   I/O, permission, memory, a lock, anything unknown) is tried again with
//   a growing pause, for as long as it takes; the batch is never dropped;
// - before a batch is sent again, the mark is read: a commit whose reply was
//   lost is not stored twice;
// - a refusal of the rows themselves halves the batch until the one post
//   refused is found; it is quarantined (Quarantine) once the database is
//   seen to take a write, and the mark passes it only after that.

#include "server/posts/quarantine.h"
#include "server/store/forumstore.h"

#include <QList>
#include <QStringList>
#include <functional>

// Used on one thread (the writer's, or the main thread while replaying),
// with a store of that thread.
class PostStorer
{
public:
    struct Post
    {
        quint64 sequence = 0;
        NewMessage message;
        QString peer;
        QString forum;
        bool withdrawn = false; // its spool write failed: the mark passes it, nothing is stored
    };
    enum class Fate { Waiting, Stored, Quarantined };

    struct Hooks
    {
        std::function<bool(int ms)> pause; // false: stop trying
        // The database cannot store; said each time the pause grows.
        std::function<void(const QString &why, int retryMs)> waiting;
        std::function<void()> storing; // it stores again, after waiting
        std::function<void(const QString &why)> lost; // the connection is gone
        std::function<void()> back;
    };

    PostStorer(ForumStore &store, const QString &spoolId, const Quarantine &quarantine,
               Hooks hooks);

    // What became of each post, and for those quarantined the database's
    // words; false when pause() said stop before every post was dealt with.
    bool store(const QList<Post> &posts, QList<Fate> *fates, QStringList *why);

    // Runs attempt (a read) until it succeeds, by the same rules as a batch;
    // false when pause() said stop first.
    bool retry(const std::function<bool()> &attempt);

    // A post that never reaches the database (its forum is gone): kept whole.
    bool quarantine(const Quarantine::Entry &entry, QString *error);

    static Quarantine::Entry entryFor(const QString &spoolId, const Post &post,
                                      const QString &why);

private:
    bool range(qsizetype from, qsizetype to);
    bool reconnect();
    bool wait(const QString &why, int *retryMs);
    void stored();

    ForumStore &m_store;
    QString m_spoolId;
    Quarantine m_quarantine;
    Hooks m_hooks;
    bool m_waiting = false;
    const QList<Post> *m_posts = nullptr;
    QList<Fate> *m_fates = nullptr;
    QStringList *m_why = nullptr;
};
