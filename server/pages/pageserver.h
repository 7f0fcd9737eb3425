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

#include "server/http/pagesource.h"
#include "server/pages/pages.h"

#include <QByteArray>
#include <QHash>

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
    PageServer(StoreThread &store, RequestPort &postPort, PostPipeline &pipeline,
               QObject *parent = nullptr);

    // False while the database is lost: pages answer 503 at once.
    void setStoreAvailable(bool available) { m_available = available; }

    // Posts were committed to these forums; none listed: to any forum.
    void postsStored(const QList<qint64> &forumIds);
    void forumsCreated(const QList<qint64> &forumIds);
    void storeChanged(); // anything may have changed

    // The page source: the number of the last post the page at `target`
    // must show is, for a forum's page, the last one to that forum, for
    // others the last of all.
    http::Entity health() const override;
    http::Entity busy() const override;
    http::Entity badRequest() const override;
    quint64 settle(const QByteArray &target) override;
    bool isStored(quint64 upTo) const override;
    bool isAvailable() const override { return m_available; }
    quint64 version() const override { return m_version; }
    std::optional<http::Entity> answer(const QByteArray &method, const QByteArray &target,
                                       quint64 since) override;

private:
    void keep(const QByteArray &target, quint64 version, const Page &page);
    // The version since which what a page of this forum shows (0: the forums) is unchanged.
    quint64 changedAt(qint64 forumId) const;
    static qsizetype bytesOf(const Page &page) { return page.body.size() + page.gzipped.size(); }

    struct Cached
    {
        quint64 version = 0;
        Page page;
    };

    StoreThread &m_store;
    RequestPort &m_postPort;
    PostPipeline &m_pipeline;
    bool m_available = true;
    quint64 m_version = 1;
    quint64 m_allChangedAt = 1; // every page
    quint64 m_forumsChangedAt = 1; // the start page and pages of forums not found
    QHash<qint64, quint64> m_forumChangedAt; // one forum's pages
    QHash<QByteArray, Cached> m_cache;
    qsizetype m_cacheBytes = 0;
    QHash<QByteArray, quint64> m_building; // target: the version asked for
};
