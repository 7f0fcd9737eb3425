#pragma once
// The pages: the start page and one page per forum, answered from those the
// server has built, for as long as nothing they show has changed; a page
// that is missing is built on the store thread while its request waits.
// Changes are learned without asking the database: the server's own commits
// directly, other servers' through the store thread. A post makes stale only
// its forum's pages and the start page.
//
// A page is built once with its validator (ETag) and a gzipped copy; a
// request whose If-None-Match holds the tag gets 304 without a body, one
// that accepts gzip gets the gzipped copy.
//
// Pages are kept and built by what they address, not by how the target was
// spelt. What cannot exist is answered 404 from memory, without the store:
// a forum the directory does not hold, and a page past the last of a forum
// whose count is known (from a page built since its last change, or the
// start page). Where other servers create forums too (PostgreSQL), a name
// the directory does not hold may be one created a moment ago: the
// forums are read once more (one reading at a time, at most one every
// 100 ms, shared by every such request), and what it finds is added.
// The search page is answered by its own part (SearchServer), from the same
// version: a change to any forum drops every answer it keeps.

#include "server/http/pagesource.h"
#include "server/pages/pagebuilder.h"
#include "server/pages/pagecache.h"
#include "server/pages/searchserver.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>

class ForumDirectory;
class PostPipeline;
class RequestPort;
class StoreThread;

// Lives on the main thread; its pages are built on the store thread.
class PageServer : public PageSource
{
    Q_OBJECT
public:
    using Page = pages::Page;

    // A page shows every post sent before it was asked for: the post port
    // takes in the posts whose senders have finished, and the page waits
    // until the pipeline has stored them.
    // directoryIsWhole: no other server creates forums. searchStore: the
    // store thread that searches (not `store`, or a search delays pages).
    PageServer(StoreThread &store, StoreThread &searchStore, const ForumDirectory &directory,
               bool directoryIsWhole, RequestPort &postPort, PostPipeline &pipeline,
               int searchLimit = 30, QObject *parent = nullptr);

    // Indexes for search the messages stored before search existed, in the background.
    void indexOlderMessages() { m_search.indexOlderMessages(); }

    // False while the database is lost: pages answer 503 at once.
    void setStoreAvailable(bool available) { m_available = available; }
    // True while the database answers but fails to store posts: /health says so.
    void setStoreFailing(bool failing) { m_failing = failing; }

    // Posts were committed to these forums; none listed: to any forum.
    void postsStored(const QList<qint64> &forumIds);
    void forumsCreated(const QList<qint64> &forumIds);
    void storeChanged(); // anything may have changed

    // The page source: the number of the last post the page at an address
    // must show is, for a forum's page, the last one to that forum, for
    // the start page the last of all.
    http::Entity health() const override;
    http::Entity busy() const override;
    http::Entity badRequest() const override;
    http::Address address(const QByteArray &target) const override;
    quint64 settle(const http::Address &address) override;
    bool isStored(quint64 upTo) const override;
    bool isAvailable() const override { return m_available; }
    quint64 version() const override { return m_version; }
    std::optional<http::Entity> answer(const QByteArray &method, http::Address &address,
                                       quint64 since, const QString &requester) override;

    // Builds at once, and from one requester's address.
    static constexpr int maxBuilding = 64;
    static constexpr int maxBuildingPerRequester = 8;

private:
    using Key = PageCache::Key;
    // Starts the build of `address` unless one recent enough is under way;
    // a 503 when the builds are all taken, or the requester's share is.
    std::optional<http::Entity> build(const http::Address &address, quint64 since,
                                      const QString &requester);
    // A forum the directory does not hold: found by reading the forums again, or 404.
    enum class Look { Found, Waiting, Missing };
    Look lookFor(http::Address &address);
    void keep(const http::Address &address, quint64 version, const QString &requester,
              const pages::Built &built);
    http::Address address(const QByteArray &target, const std::optional<pages::Target> &read) const;
    // The version since which what a page of this forum shows (0: the forums) is unchanged.
    quint64 changedAt(qint64 forumId) const;
    // A forum's messages, if known at its current version.
    std::optional<qint64> knownCount(qint64 forumId) const;

    struct Count
    {
        quint64 version = 0;
        qint64 messages = 0;
    };

    StoreThread &m_store;
    const ForumDirectory &m_directory;
    bool m_directoryIsWhole;
    RequestPort &m_postPort;
    PostPipeline &m_pipeline;
    bool m_available = true;
    bool m_failing = false;
    quint64 m_version = 1;
    quint64 m_allChangedAt = 1; // every page
    quint64 m_forumsChangedAt = 1; // the start page and pages of forums not found
    QHash<qint64, quint64> m_forumChangedAt; // one forum's pages
    PageCache m_cache;
    QHash<Key, quint64> m_building; // the version asked for
    int m_jobs = 0; // builds under way
    QHash<QString, int> m_jobsFor; // by requester
    QHash<qint64, Count> m_counts; // by forum
    Page m_notFound; // finished once
    bool m_lookingUp = false;
    QElapsedTimer m_lookedUp; // since the last reading of the forums began
    SearchServer m_search;
    // Targets as read, by their bytes: what one reads as depends on nothing
    // else, and readers ask for the same few spellings again and again.
    mutable QHash<QByteArray, std::optional<pages::Target>> m_targets;
};
