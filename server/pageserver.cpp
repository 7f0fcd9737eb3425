#include "server/pageserver.h"

#include "server/connectionguard.h"
#include "server/forumstore.h"
#include "server/pages.h"

#include <QTcpSocket>
#include <QUrlQuery>
#include <QtHttpServer/QHttpServerRequest>

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

PageServer::PageServer(ForumStore &store, const ServerConfig &config,
                       std::shared_ptr<int> openCount, LogSink log, QObject *parent)
    : QAbstractHttpServer(parent),
      m_store(store),
      m_log(log),
      m_server(new GuardedTcpServer(QStringLiteral("http"), std::move(openCount), config, log,
                                    this))
{
    // Pages are fetched with small GET requests. A request larger than this
    // stops being read and its connection ends at the idle limit, instead
    // of being buffered whole.
    m_server->setSocketReadBufferSize(64 * 1024);
}

bool PageServer::listenOn(const QHostAddress &address, quint16 port)
{
    if (!m_server->listen(address, port))
        return false;
    bind(m_server);
    return true;
}

quint16 PageServer::port() const
{
    return m_server->serverPort();
}

QString PageServer::errorString() const
{
    return m_server->errorString();
}

PageServer::Page PageServer::pageFor(const QHttpServerRequest &request) const
{
    const Page notFound{Status::NotFound, pages::notFoundPage()};
    const Page failed{Status::InternalServerError, pages::failurePage()};
    if (!m_store.isAvailable())
        return {Status::ServiceUnavailable, pages::failurePage()};
    bool ok = false;
    const QByteArray path = request.url().path(QUrl::FullyEncoded).toUtf8();
    if (path == "/dn.htm") {
        const QList<ForumSummary> forums = m_store.forumSummaries(&ok);
        return ok ? Page{Status::Ok, pages::startPage(forums)} : failed;
    }

    const std::optional<QString> forum = pages::forumFromPath(path);
    if (!forum)
        return notFound;
    const std::optional<qint64> id = m_store.forumId(*forum);
    if (!id)
        return notFound;
    int page = 1;
    const QUrlQuery query = request.query();
    if (query.hasQueryItem(QStringLiteral("page"))) {
        bool ok = false;
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
    return {Status::Ok, pages::forumPage(*forum, messages, page,
                                         skip + pages::messagesPerPage < count)};
}

bool PageServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // A client shows a forum's page right after its post has gone out; the
    // post's last bytes may still wait unread, so they are taken in first.
    if (m_beforeEachPage)
        m_beforeEachPage();
    const Method method = request.method();
    if (method != Method::Get && method != Method::Head) {
        respond(request, socket, {Status::MethodNotAllowed, pages::notFoundPage()});
        return true;
    }
    respond(request, socket, pageFor(request));
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    respond(request, socket, {Status::NotFound, pages::notFoundPage()});
}

void PageServer::respond(const QHttpServerRequest &request, QTcpSocket *socket, const Page &page)
{
    const bool head = request.method() == Method::Head;
    m_log(QStringLiteral("page %1 %2 %3: %4")
              .arg(socket->peerAddress().toString(), head ? QStringLiteral("HEAD")
                                                          : QStringLiteral("GET"),
                   QString::fromUtf8(request.url().toEncoded(QUrl::RemoveScheme
                                                             | QUrl::RemoveAuthority)))
              .arg(int(page.status)));
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(page.status);
    responder.writeHeader("Content-Type", "text/html; charset=utf-8");
    responder.writeHeader("Content-Length", QByteArray::number(page.html.size()));
    responder.writeHeader("Cache-Control", "no-cache");
    if (page.status == Status::MethodNotAllowed)
        responder.writeHeader("Allow", "GET, HEAD");
    // A HEAD answer carries the headers of the GET answer and no body.
    responder.writeBody(head ? QByteArray() : page.html);
}
