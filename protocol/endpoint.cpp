#include "protocol/endpoint.h"

#include "protocol/pageaddress.h"

ServerEndpoint ServerEndpoint::standard()
{
    ServerEndpoint endpoint;
    endpoint.host = QStringLiteral(TAVERNLY_SERVER_HOST);
    endpoint.serviceUrl = QStringLiteral(TAVERNLY_SERVICE_URL);
    return endpoint;
}

static QUrl pageUrl(const ServerEndpoint &endpoint, const QString &encodedPath)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(endpoint.host);
    url.setPort(endpoint.httpPort);
    // The path arrives percent-encoded; tolerant mode keeps the escapes as they are.
    url.setPath(encodedPath, QUrl::TolerantMode);
    return url;
}

QUrl ServerEndpoint::startPage() const
{
    return pageUrl(*this, QStringLiteral("/dn.htm"));
}

QUrl ServerEndpoint::forumPage(const QString &forum) const
{
    return pageUrl(*this, pageaddress::forumPath(forum));
}

QString connectionErrorText(const QString &serviceUrl)
{
    return QStringLiteral("Connection error.  Check your internet connection or visit ") + serviceUrl
           + QStringLiteral(" for maintenance schedules.");
}
