#pragma once
// The pages of the HTTP port: plain HTML that a simple viewer shows quickly.

#include "server/http/entity.h"
#include "server/store/forumrecords.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace pages {

inline constexpr int messagesPerPage = 100;

// An answer of the page port, and which forum it shows.
struct Page : http::Entity
{
    Page(int status = 200, QByteArray html = {}, qint64 forumId = 0)
        : http::Entity{status, std::move(html), {}, {}, {}, {}}, forumId(forumId)
    {
    }

    // The forum whose messages it shows, so that only that forum's posts
    // change it; 0: it shows the forums themselves (their names and counts).
    qint64 forumId = 0;
};

inline const QString serviceName = QStringLiteral("Tavernly");

// A whole page: its title (escaped here) and its content (HTML as given).
QString document(const QString &title, const QString &content);

// Adds the validator and the compressed copy, once, when a page is built.
void finish(Page &page);

// "/tav/<percent-encoded name>.htm", with "?page=N" after the first page.
QString forumLink(const QString &forum, int page = 1);

// The forum name addressed by a request path as sent ("/tav/a%20b.htm"), if
// the path has that form.
std::optional<QString> forumFromPath(const QByteArray &encodedPath);

// What a request target names before any forum is looked up: the start
// page (an empty name), a forum's name and page number, or nothing (none).
// Unknown query parameters are ignored; "?page=1" is the first page.
struct Target
{
    QString forum;
    qint64 page = 1;
};
std::optional<Target> readTarget(const QByteArray &target);

// One message as the client's preview shows it: a title band and a body band.
QString messageTable(const PublishedMessage &message);

QByteArray startPage(const QList<ForumSummary> &forums);

// One page of a forum out of pageCount, its messages newest first; a page
// after the first says which it is, and one before the last links to the next.
QByteArray forumPage(const QString &forum, const QList<PublishedMessage> &messages, int page,
                     int pageCount);

QByteArray notFoundPage();
QByteArray badRequestPage(); // a request that is not one the server can read
QByteArray failurePage(); // the server could not read its forums

} // namespace pages
