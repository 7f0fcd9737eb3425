#include "server/pageserver.h"

#include "server/forumstore.h"
#include "server/httpconnection.h"
#include "server/pages.h"
#include "server/postpipeline.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

// Bounds what the page cache holds; pages of hostile posts are not kept.
constexpr qsizetype maxCachedBytes = 32 * 1024 * 1024;
constexpr qsizetype maxCachedPage = 1024 * 1024;

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    }
    return "Unknown";
}

} // namespace

PageServer::PageServer(ForumStore &store, const ServerConfig &config, ConnectionLimit &limit,
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

QByteArray PageServer::headers(const Page &page, int minorVersion, bool close)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(page.status) + ' ' + reason(page.status)
        + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(page.html.size())
        + "\r\nCache-Control: no-cache"
          // Pages never run script, whatever a message holds; pictures may come from anywhere.
          "\r\nContent-Security-Policy: default-src 'none'; img-src http: https:; "
          "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
          "\r\nX-Content-Type-Options: nosniff\r\n";
    if (page.status == 405)
        out += "Allow: GET, HEAD\r\n";
    if (close)
        out += "Connection: close\r\n";
    else if (minorVersion == 0)
        out += "Connection: keep-alive\r\n";
    return out + "\r\n";
}

bool PageServer::isStoreAvailable() const
{
    return m_store.isAvailable();
}

void PageServer::setPosts(std::function<void()> settle, PostPipeline *pipeline)
{
    m_settlePosts = std::move(settle);
    m_pipeline = pipeline;
}

quint64 PageServer::settlePosts()
{
    if (m_settlePosts)
        m_settlePosts();
    return m_pipeline ? m_pipeline->taken() : 0;
}

PageServer::Page PageServer::answer(const QByteArray &method, const QByteArray &target) const
{
    if (method != "GET" && method != "HEAD")
        return {405, pages::notFoundPage()};
    // While the database is lost, HAProxy's checks see this and send
    // everyone to the other servers.
    if (!m_store.isAvailable())
        return {503, pages::failurePage()};
    const quint64 version = m_store.version();
    if (version != m_cache.version) {
        m_cache = {version, {}, 0};
    } else if (const auto cached = m_cache.pages.constFind(target);
               cached != m_cache.pages.cend()) {
        return *cached;
    }
    const Page page = pageFor(target);
    if (page.status != 500 && page.html.size() <= maxCachedPage) {
        if (m_cache.bytes + page.html.size() > maxCachedBytes)
            m_cache = {version, {}, 0};
        m_cache.pages.insert(target, page);
        m_cache.bytes += page.html.size();
    }
    return page;
}

PageServer::Page PageServer::pageFor(const QByteArray &target) const
{
    const Page notFound{404, pages::notFoundPage()};
    const Page failed{500, pages::failurePage()};
    const QUrl url = QUrl::fromEncoded(target);
    if (!url.isValid())
        return notFound;
    bool ok = false;
    const QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
    if (path == "/dn.htm") {
        const QList<ForumSummary> forums = m_store.forumSummaries(&ok);
        return ok ? Page{200, pages::startPage(forums)} : failed;
    }

    const std::optional<QString> forum = pages::forumFromPath(path);
    if (!forum)
        return notFound;
    const std::optional<qint64> id = m_store.forumId(*forum);
    if (!id)
        return notFound;
    int page = 1;
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("page"))) {
        page = query.queryItemValue(QStringLiteral("page")).toInt(&ok);
        if (!ok || page < 1)
            return notFound;
    }
    const qint64 skip = qint64(page - 1) * pages::messagesPerPage;
    const qint64 count = m_store.messageCount(*id);
    if (page > 1 && skip >= count)
        return notFound;
    const auto messages = m_store.messages(*id, int(skip), pages::messagesPerPage, &ok);
    if (!ok)
        return failed;
    return {200, pages::forumPage(*forum, messages, page, skip + pages::messagesPerPage < count)};
}
