#include "server/pages/pageserver.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/pages/pagebuilder.h"
#include "server/posts/postpipeline.h"
#include "server/store/storethread.h"
#include "server/wire/requestport.h"

#include "server/store/forumdirectory.h"

namespace {

// Bounds what the page cache holds; pages of hostile posts are not kept.
constexpr qsizetype maxCachedBytes = 32 * 1024 * 1024;
constexpr qsizetype maxCachedPage = 1024 * 1024;

PageCache::Key keyOf(const http::Address &address)
{
    return {address.group, address.page};
}

} // namespace

PageServer::PageServer(StoreThread &store, StoreThread &searchStore,
                       const ForumDirectory &directory, bool directoryIsWhole,
                       RequestPort &postPort, PostPipeline &pipeline, int searchLimit,
                       QObject *parent)
    : PageSource(parent),
      m_store(store),
      m_directory(directory),
      m_directoryIsWhole(directoryIsWhole),
      m_postPort(postPort),
      m_pipeline(pipeline),
      m_cache(maxCachedBytes, maxCachedPage),
      m_notFound(404, pages::notFoundPage()),
      m_search(store, searchStore, this,
               [this](const http::Address &address, quint64 version, const Page &page) {
                   emit built(address, version, page);
               },
               searchLimit)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    pages::finish(m_notFound); // the same bytes as a 404 the store would have built
    connect(&m_pipeline, &PostPipeline::storedUpTo, this, &PageSource::storedUpTo);
}

http::Address PageServer::address(const QByteArray &target) const
{
    // Kept short so that new spellings can't fill memory; a full table starts over.
    constexpr qsizetype keptTargets = 1024, keptTargetBytes = 256;
    auto known = m_targets.constFind(target);
    if (known == m_targets.cend()) {
        std::optional<pages::Target> read = pages::readTarget(target);
        if (target.size() > keptTargetBytes)
            return address(target, read);
        if (m_targets.size() >= keptTargets)
            m_targets.clear();
        known = m_targets.insert(target, std::move(read));
    }
    return address(target, *known);
}

http::Address PageServer::address(const QByteArray &target,
                                  const std::optional<pages::Target> &read) const
{
    if (!read)
        return SearchServer::address(target).value_or(http::Address{});
    if (read->forum.isEmpty())
        return {0, 1, {}};
    const std::optional<qint64> id = m_directory.id(read->forum);
    if (!id && m_directoryIsWhole)
        return {};
    return {id.value_or(http::Address::unknownForum), read->page, read->forum};
}

quint64 PageServer::settle(const http::Address &address)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (address.group == http::Address::nothing)
        return 0; // nothing there to wait for
    m_postPort.settlePosts();
    const quint64 last = m_pipeline.taken();
    if (m_pipeline.isStored(last))
        return last;
    // Posts to other forums do not hold up a forum's page during a flood;
    // the start page and a search show every forum.
    const bool oneForum = address.group != 0 && address.group != http::Address::search;
    return oneForum ? m_pipeline.takenFor(address.name) : last;
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
    if (!m_available)
        return busy();
    if (m_failing)
        return http::Entity{503, "the database fails to store: posts wait in the spool\n",
                            {}, {}, {}, {}};
    return http::Entity{200, "ok\n", {}, {}, {}, {}};
}

http::Entity PageServer::busy() const
{
    return Page{503, pages::failurePage()};
}

http::Entity PageServer::badRequest() const
{
    return Page{400, pages::badRequestPage()};
}

std::optional<qint64> PageServer::knownCount(qint64 forumId) const
{
    const auto count = m_counts.constFind(forumId);
    if (count == m_counts.cend() || count->version < changedAt(forumId))
        return std::nullopt;
    return count->messages;
}

PageServer::Look PageServer::lookFor(http::Address &address)
{
    if (const std::optional<qint64> id = m_directory.id(address.name)) {
        address.group = *id; // heard of since the request came
        return Look::Found;
    }
    if (m_lookingUp)
        return Look::Waiting; // built() says when it is done
    constexpr qint64 lookUpEveryMs = 100;
    if (m_lookedUp.isValid() && m_lookedUp.elapsed() < lookUpEveryMs)
        return Look::Missing;
    m_lookingUp = true;
    m_lookedUp.start();
    m_store.run(this, [self = this](ForumStore &store) {
        bool ok = false;
        QList<ForumEntry> forums = store.forums(&ok);
        return StoreThread::Reply([self, forums = std::move(forums), ok] {
            self->m_lookingUp = false;
            // The directory's owner adds them, as when the store thread hears of them.
            if (ok)
                emit self->m_store.forumsAdded(forums);
            emit self->built({http::Address::unknownForum, 0, {}}, self->m_version,
                             self->m_notFound);
        });
    });
    return Look::Waiting;
}

std::optional<http::Entity> PageServer::answer(const QByteArray &method, http::Address &address,
                                               quint64 since, const QString &requester)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (method != "GET" && method != "HEAD")
        return Page{405, pages::notFoundPage()};
    // While the database is lost, HAProxy's checks see this and send
    // everyone to the other servers.
    if (!m_available)
        return busy();
    if (address.group == http::Address::search)
        return m_search.answer(address, m_version, since, requester);
    if (address.group == http::Address::unknownForum) {
        switch (lookFor(address)) {
        case Look::Waiting: return std::nullopt;
        case Look::Missing: return m_notFound;
        case Look::Found: break;
        }
    }
    if (!address.exists())
        return m_notFound;
    const std::optional<qint64> count =
        address.page > 1 ? knownCount(address.group) : std::optional<qint64>();
    if (count && (address.page - 1) * pages::messagesPerPage >= *count)
        return m_notFound;
    if (const Page *held = m_cache.find(keyOf(address), changedAt(address.group))) {
        metrics::pageCacheHit();
        return *held;
    }
    // How many pages a forum has is learned from its first, one build for
    // every page number asked for.
    if (address.page > 1 && !count) {
        http::Address first = address;
        first.page = 1;
        return build(first, since, requester);
    }
    return build(address, since, requester);
}

std::optional<http::Entity> PageServer::build(const http::Address &address, quint64 since,
                                              const QString &requester)
{
    const Key key = keyOf(address);
    const auto building = m_building.constFind(key);
    if (building != m_building.cend() && *building >= since)
        return std::nullopt;
    if (m_jobs >= maxBuilding || m_jobsFor.value(requester) >= maxBuildingPerRequester)
        return busy();
    m_building.insert(key, m_version);
    ++m_jobs;
    ++m_jobsFor[requester];
    metrics::pageBuilt();
    // The job runs on the store thread and touches nothing of this; its
    // reply runs back here, unless this is gone by then.
    m_store.run(this, [self = this, address, requester, version = m_version](ForumStore &store) {
        return StoreThread::Reply(
            [self, address, requester, version, built = pages::build(store, address)] {
                self->keep(address, version, requester, built);
            });
    });
    return std::nullopt;
}

void PageServer::keep(const http::Address &address, quint64 version, const QString &requester,
                      const pages::Built &result)
{
    --m_jobs;
    if (--m_jobsFor[requester] <= 0)
        m_jobsFor.remove(requester);
    const Key key = keyOf(address);
    if (m_building.value(key) == version)
        m_building.remove(key);
    for (const ForumSummary &forum : result.counts) {
        const qint64 id = address.group > 0 ? address.group : m_directory.id(forum.name).value_or(0);
        if (id > 0 && m_counts.value(id).version <= version)
            m_counts.insert(id, {version, forum.messageCount});
    }
    if (result.page.status != 500)
        m_cache.keep(key, version, result.page);
    emit built(address, version, result.page); // a failed one too, to those waiting for it
}
