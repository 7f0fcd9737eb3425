#include "server/pages/pages.h"

#include "protocol/messagemarkup.h"
#include "protocol/pageaddress.h"

#include <QCryptographicHash>
#include <QUrl>
#include <QUrlQuery>

#include <zlib.h>

namespace pages {

namespace {

QString link(const QString &href, const QString &text)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(href.toHtmlEscaped(), text.toHtmlEscaped());
}

// The gzip format (RFC 1952), as browsers and Qt's network stack accept it.
QByteArray gzip(const QByteArray &data)
{
    z_stream stream{};
    constexpr int gzipWindowBits = 15 + 16;
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzipWindowBits, 8,
                     Z_DEFAULT_STRATEGY)
        != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return done ? out : QByteArray();
}

} // namespace

QString document(const QString &title, const QString &content)
{
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                          "<title>%1</title></head>\n"
                          "<body bgcolor=\"#FFFFFF\" text=\"#000000\">\n%2</body></html>\n")
        .arg(title.toHtmlEscaped(), content);
}

void finish(Page &page)
{
    // The same bytes give the same tag on every server sharing a database.
    const QByteArray digest = QCryptographicHash::hash(page.body, QCryptographicHash::Sha256);
    page.etag = '"' + digest.first(15).toBase64(QByteArray::Base64UrlEncoding) + '"';
    page.gzipped = gzip(page.body);
    page.gzippedEtag = page.etag.chopped(1) + "-gz\"";
    page.file = http::PageFile::make(page.body, page.gzipped);
}

QString forumLink(const QString &forum, int page)
{
    return pageaddress::forumPath(forum, page);
}

std::optional<QString> forumFromPath(const QByteArray &encodedPath)
{
    return pageaddress::forumFromPath(encodedPath);
}

std::optional<Target> readTarget(const QByteArray &target)
{
    const QUrl url = QUrl::fromEncoded(target);
    if (!url.isValid())
        return std::nullopt;
    const QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
    if (path == "/dn.htm")
        return Target{};
    std::optional<QString> forum = forumFromPath(path);
    if (!forum)
        return std::nullopt;
    Target read{std::move(*forum), 1};
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("page"))) {
        bool ok = false;
        read.page = query.queryItemValue(QStringLiteral("page")).toInt(&ok);
        if (!ok || read.page < 1)
            return std::nullopt;
    }
    return read;
}

QString messageTable(const PublishedMessage &message)
{
    return messagemarkup::table(message.titleHtml, message.bodyHtml) + u'\n';
}

QByteArray startPage(const QList<ForumSummary> &forums)
{
    QString content = QStringLiteral("<h1>%1</h1>\n<p>Welcome to %1, a small forum service. "
                                     "Anyone can open a forum by name and post messages to it. "
                                     "Choose a forum to read it.</p>\n")
                          .arg(serviceName);
    if (forums.isEmpty()) {
        content += QStringLiteral("<p>There are no forums yet.</p>\n");
    } else {
        content += QStringLiteral("<ul>\n");
        for (const ForumSummary &forum : forums) {
            const QString count = forum.messageCount == 1
                ? QStringLiteral("1 message")
                : QStringLiteral("%1 messages").arg(forum.messageCount);
            content += QStringLiteral("<li>") + link(forumLink(forum.name), forum.name)
                + QStringLiteral(" (") + count + QStringLiteral(")</li>\n");
        }
        content += QStringLiteral("</ul>\n");
    }
    return document(serviceName, content).toUtf8();
}

QByteArray forumPage(const QString &forum, const QList<PublishedMessage> &messages, int page,
                     int pageCount)
{
    QString content = QStringLiteral("<h2>") + forum.toHtmlEscaped() + QStringLiteral("</h2>\n");
    if (page > 1)
        content += QStringLiteral("<p>Page %1 of %2</p>\n").arg(page).arg(pageCount);
    if (messages.isEmpty())
        content += page == 1 ? QStringLiteral("<p>No messages yet.</p>\n")
                             : QStringLiteral("<p>No older messages.</p>\n");
    // Each message's number is its anchor, so a link (or a moderator) can name it.
    for (const PublishedMessage &message : messages)
        content += QStringLiteral("<a id=\"m%1\"></a>").arg(message.number) + messageTable(message);
    QStringList navigation;
    if (page > 1)
        navigation << link(forumLink(forum, page - 1), QStringLiteral("Newer messages"));
    if (page < pageCount)
        navigation << link(forumLink(forum, page + 1), QStringLiteral("Older messages"));
    navigation << link(QStringLiteral("/dn.htm"), QStringLiteral("All forums"));
    content += QStringLiteral("<p>") + navigation.join(QStringLiteral(" | "))
        + QStringLiteral("</p>\n");
    return document(forum + QStringLiteral(" - ") + serviceName, content).toUtf8();
}

QByteArray notFoundPage()
{
    return document(QStringLiteral("Not found - ") + serviceName,
                    QStringLiteral("<h2>Not found</h2>\n<p>There is no such page here. ")
                        + link(QStringLiteral("/dn.htm"), QStringLiteral("All forums"))
                        + QStringLiteral("</p>\n"))
        .toUtf8();
}

QByteArray badRequestPage()
{
    return document(QStringLiteral("Bad request - ") + serviceName,
                    QStringLiteral("<h2>Bad request</h2>\n<p>The server could not read this "
                                   "request. ")
                        + link(QStringLiteral("/dn.htm"), QStringLiteral("All forums"))
                        + QStringLiteral("</p>\n"))
        .toUtf8();
}

QByteArray failurePage()
{
    return document(serviceName,
                    QStringLiteral("<h2>Sorry</h2>\n<p>The forums cannot be read just now. "
                                   "Please try again later.</p>\n"))
        .toUtf8();
}

} // namespace pages
