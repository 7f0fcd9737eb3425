#include "server/pageserver.h"

#include "server/http/httpdate.h"
#include "server/http/requestreader.h"
#include "server/httpconnection.h"
#include "server/pages.h"
#include "server/postpipeline.h"
#include "server/servermetrics.h"
#include "server/storethread.h"

namespace {

// Bounds what the page cache holds; pages of hostile posts are not kept.
constexpr qsizetype maxCachedBytes = 32 * 1024 * 1024;
constexpr qsizetype maxCachedPage = 1024 * 1024;
// Pages being built at once; more requests for missing pages get 503 at once.
constexpr qsizetype maxBuilding = 64;

} // namespace

PageServer::PageServer(StoreThread &store, const ServerConfig &config, ConnectionLimit &limit,
                       LogSink log, QObject *parent)
    : QObject(parent),
      m_store(store),
      m_config(config),
      m_log(std::move(log)),
      m_port(new ListeningPort(QStringLiteral("http"), limit, this))
{
    connect(m_port, &ListeningPort::accepted, this, [this](StreamConnection *connection) {
        new HttpConnection(connection, *this, m_config, m_log);
    });
    connect(&m_store, &StoreThread::built, this, &PageServer::keep);
}

bool PageServer::listenOn(const QHostAddress &address, quint16 port)
{
    return m_port->listen(address, port);
}

quint16 PageServer::port() const
{
    return m_port->port();
}

QString PageServer::errorString() const
{
    return m_port->errorString();
}

QByteArray PageServer::headers(const Page &page, const Request &request, QByteArray *body)
{
    const bool validated = page.status == 200 && !page.etag.isEmpty();
    const bool gzip = request.gzip && !page.gzipped.isEmpty();
    const QByteArray &etag = gzip ? page.gzippedEtag : page.etag;
    const bool notModified = validated && pages::matchesEntityTag(request.ifNoneMatch, etag);
    const int status = notModified ? 304 : page.status;
    const QByteArray &content = gzip ? page.gzipped : page.html;
    *body = notModified || request.method == "HEAD" ? QByteArray() : content;

    QByteArray out;
    out.reserve(512);
    out.append("HTTP/1.1 ").append(QByteArray::number(status)).append(' ')
        .append(http::reasonPhrase(status));
    if (!notModified) {
        out.append("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ")
            .append(QByteArray::number(content.size()));
        if (gzip)
            out.append("\r\nContent-Encoding: gzip");
    }
    if (validated)
        out.append("\r\nETag: ").append(etag);
    if (!page.gzipped.isEmpty())
        out.append("\r\nVary: Accept-Encoding");
    out.append("\r\nCache-Control: no-cache\r\n").append(http::dateLine());
    if (!notModified)
        // Pages never run script, whatever a message holds; pictures may come from anywhere.
        out.append("Content-Security-Policy: default-src 'none'; img-src http: https:; "
                   "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
                   "\r\nX-Content-Type-Options: nosniff\r\n");
    if (status == 405)
        out.append("Allow: GET, HEAD\r\n");
    if (status == 503)
        out.append("Retry-After: 1\r\n");
    if (request.close)
        out.append("Connection: close\r\n");
    else if (request.minorVersion == 0)
        out.append("Connection: keep-alive\r\n");
    return out.append("\r\n");
}

void PageServer::setPosts(std::function<void()> settle, PostPipeline *pipeline)
{
    m_settlePosts = std::move(settle);
    m_pipeline = pipeline;
}

quint64 PageServer::settlePosts(const QByteArray &target)
{
    if (m_settlePosts)
        m_settlePosts();
    if (!m_pipeline)
        return 0;
    const quint64 last = m_pipeline->taken();
    if (m_pipeline->isStored(last))
        return last;
    // Posts to other forums do not hold up a forum's page during a flood.
    const qsizetype query = target.indexOf('?');
    const std::optional<QString> forum =
        pages::forumFromPath(query < 0 ? target : target.first(query));
    return forum ? m_pipeline->takenFor(*forum) : last;
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

PageServer::Page PageServer::health() const
{
    return m_available ? Page{200, "ok\n"} : busyPage();
}

PageServer::Page PageServer::busyPage()
{
    return {503, pages::failurePage()};
}

std::optional<PageServer::Page> PageServer::answer(const QByteArray &method,
                                                   const QByteArray &target, quint64 since)
{
    if (method != "GET" && method != "HEAD")
        return Page{405, pages::notFoundPage()};
    // While the database is lost, HAProxy's checks see this and send
    // everyone to the other servers.
    if (!m_available)
        return busyPage();
    if (const auto cached = m_cache.constFind(target);
        cached != m_cache.cend() && cached->version >= changedAt(cached->page.forumId)) {
        metrics::pageCacheHit();
        return cached->page;
    }
    const auto building = m_building.constFind(target);
    if (building != m_building.cend() && *building >= since)
        return std::nullopt;
    if (building == m_building.cend() && m_building.size() >= maxBuilding)
        return busyPage();
    m_building.insert(target, m_version);
    metrics::pageBuilt();
    m_store.build(target, m_version);
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
