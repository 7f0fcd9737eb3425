#pragma once
// What the HTTP port sends and what a request asks of it, apart from how
// either is read or built.

#include <QByteArray>

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

} // namespace http
