#pragma once
// The pages of the HTTP port: plain HTML that a simple viewer shows quickly.

#include "server/forumrecords.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace pages {

inline constexpr int messagesPerPage = 100;

// An answer of the page port: its status and its HTML.
struct Page
{
    Page(int status = 200, QByteArray html = {}, qint64 forumId = 0)
        : status(status), html(std::move(html)), forumId(forumId)
    {
    }

    int status = 200;
    QByteArray html;
    // The forum whose messages it shows, so that only that forum's posts
    // change it; 0: it shows the forums themselves (their names and counts).
    qint64 forumId = 0;
    // Set by finish(): a strong validator of the HTML, and the HTML gzipped
    // with a tag of its own (another representation).
    QByteArray etag; // quoted, as sent
    QByteArray gzipped;
    QByteArray gzippedEtag;
};

// Adds the validator and the compressed copy, once, when a page is built.
void finish(Page &page);

// Whether an Accept-Encoding value allows gzip ("gzip;q=0" does not).
bool acceptsGzip(const QByteArray &acceptEncoding);
// Whether an If-None-Match value holds `etag` (or "*"); weak tags compare by their value.
bool matchesEntityTag(const QByteArray &ifNoneMatch, const QByteArray &etag);

// "/tav/<percent-encoded name>.htm", with "?page=N" after the first page.
QString forumLink(const QString &forum, int page = 1);

// The forum name addressed by a request path as sent ("/tav/a%20b.htm"), if
// the path has that form.
std::optional<QString> forumFromPath(const QByteArray &encodedPath);

// One message as the client's preview shows it: a title band and a body band.
QString messageTable(const PublishedMessage &message);

QByteArray startPage(const QList<ForumSummary> &forums);

// One page of a forum, its messages newest first; hasOlder adds the link to
// the next page.
QByteArray forumPage(const QString &forum, const QList<PublishedMessage> &messages, int page,
                     bool hasOlder);

QByteArray notFoundPage();
QByteArray badRequestPage(); // a request that is not one the server can read
QByteArray failurePage(); // the server could not read its forums

} // namespace pages
