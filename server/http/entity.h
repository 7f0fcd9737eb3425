#pragma once
// What the HTTP port sends and what a request asks of it, apart from how
// either is read or built.

#include "server/http/pagefile.h"

#include <QByteArray>
#include <QString>

namespace http {

// One answer: its status and body, and where the body has them, its strong
// validator and a gzipped copy with a tag of its own (another representation).
struct Entity
{
    int status = 200;
    QByteArray body;
    QByteArray etag; // quoted, as sent
    QByteArray gzipped;
    QByteArray gzippedEtag;
    // The same bytes in a file, for pages large enough to send from one; may be none.
    std::shared_ptr<const PageFile> file;
};

// What a request asks of an answer beyond its target.
struct Request
{
    QByteArray method;
    QByteArray target;
    int minorVersion = 1;
    bool close = false;
    bool gzip = false; // its Accept-Encoding allows gzip
    QByteArray ifNoneMatch; // its If-None-Match headers, joined by ','
};

// What a request's target addresses, read once by the page source: every
// spelling of one page ("?page=1", "%62ig", unknown parameters) gives the
// same key, which the answers are built and kept by.
struct Address
{
    // -1: nothing is there (404); -2: a forum not known yet, which the source
    // may look for; -3: a search; 0: the start page; else a forum's id.
    qint64 group = -1;
    qint64 page = 1;
    QString name; // the forum's, or a search's words, for the source's own use
    int refusal = 0; // a status the target alone decides (a search too long)
    bool charged = false; // counted against its requester's share, once per request

    static constexpr qint64 nothing = -1;
    static constexpr qint64 unknownForum = -2;
    static constexpr qint64 search = -3;
    bool exists() const { return group >= 0; }
    bool sameKey(const Address &other) const
    {
        return group == other.group && page == other.page
            && (group != search || name == other.name);
    }
};

} // namespace http
