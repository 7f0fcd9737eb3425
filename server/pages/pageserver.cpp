#include "server/pages/pageserver.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/pages/pagebuilder.h"
#include "server/posts/postpipeline.h"
#include "server/store/storethread.h"
#include "server/wire/requestport.h"

namespace {

// Bounds what the page cache holds; pages of hostile posts are not kept.
constexpr qsizetype maxCachedBytes = 32 * 1024 * 1024;
constexpr qsizetype maxCachedPage = 1024 * 1024;
// Pages being built at once; more requests for missing pages get 503 at once.
constexpr qsizetype maxBuilding = 64;

} // namespace

PageServer::PageServer(StoreThread &store, RequestPort &postPort, PostPipeline &pipeline,
                       QObject *parent)
    : PageSource(parent), m_store(store), m_postPort(postPort), m_pipeline(pipeline)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    connect(&m_pipeline, &PostPipeline::storedUpTo, this, &PageSource::storedUpTo);
}

quint64 PageServer::settle(const QByteArray &target)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    m_postPort.settlePosts();
    const quint64 last = m_pipeline.taken();
    if (m_pipeline.isStored(last))
        return last;
    // Posts to other forums do not hold up a forum's page during a flood.
    const qsizetype query = target.indexOf('?');
    const std::optional<QString> forum =
        pages::forumFromPath(query < 0 ? target : target.first(query));
    return forum ? m_pipeline.takenFor(*forum) : last;
}

bool PageServer::isStored(quint64 upTo) const
{
    return m_pipeline.isStored(upTo);
}

void PageServer::postsStored(const QList<qint64> &forumIds)
{
    if (forumIds.isEmpty())
        return storeChanged();
    m_forumsChangedAt = ++m_version; // the start page counts every forum's messages
    for (qint64 id : forumIds)
        m_forumChangedAt.insert(id, m_version);
}

void PageServer::forumsCreated(const QList<qint64> &forumIds)
{
    // A name that was not found may have a page now.
    postsStored(forumIds);
}

void PageServer::storeChanged()
{
    m_allChangedAt = m_forumsChangedAt = ++m_version;
}

quint64 PageServer::changedAt(qint64 forumId) const
{
    if (forumId == 0)
        return m_forumsChangedAt;
    return std::max(m_allChangedAt, m_forumChangedAt.value(forumId));
}

http::Entity PageServer::health() const
{
    return m_available ? http::Entity{200, "ok\n", {}, {}, {}} : busy();
}

http::Entity PageServer::busy() const
{
    return Page{503, pages::failurePage()};
}

http::Entity PageServer::badRequest() const
{
    return Page{400, pages::badRequestPage()};
}

std::optional<http::Entity> PageServer::answer(const QByteArray &method, const QByteArray &target,
                                               quint64 since)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (method != "GET" && method != "HEAD")
        return Page{405, pages::notFoundPage()};
    // While the database is lost, HAProxy's checks see this and send
    // everyone to the other servers.
    if (!m_available)
        return busy();
    if (const auto cached = m_cache.constFind(target);
        cached != m_cache.cend() && cached->version >= changedAt(cached->page.forumId)) {
        metrics::pageCacheHit();
        return cached->page;
    }
    const auto building = m_building.constFind(target);
    if (building != m_building.cend() && *building >= since)
        return std::nullopt;
    if (building == m_building.cend() && m_building.size() >= maxBuilding)
        return busy();
    m_building.insert(target, m_version);
    metrics::pageBuilt();
    // The job runs on the store thread and touches nothing of this; its
    // reply runs back here, unless this is gone by then.
    m_store.run(this, [self = this, target, version = m_version](ForumStore &store) {
        return StoreThread::Reply([self, target, version, page = pages::build(store, target)] {
            self->keep(target, version, page);
        });
    });
    return std::nullopt;
}

void PageServer::keep(const QByteArray &target, quint64 version, const Page &page)
{
    if (m_building.value(target) == version)
        m_building.remove(target);
    const auto cached = m_cache.constFind(target);
    const bool newer = cached == m_cache.cend() || cached->version < version;
    if (newer && page.status != 500 && bytesOf(page) <= maxCachedPage) {
        if (cached != m_cache.cend())
            m_cacheBytes -= bytesOf(cached->page);
        if (m_cacheBytes + bytesOf(page) > maxCachedBytes) {
            m_cache.clear();
            m_cacheBytes = 0;
        }
        m_cache.insert(target, {version, page});
        m_cacheBytes += bytesOf(page);
    }
    emit built(target, version, page); // a failed one too, to those waiting for it
}
