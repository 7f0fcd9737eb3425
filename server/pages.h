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
    int status = 200;
    QByteArray html;
};

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
