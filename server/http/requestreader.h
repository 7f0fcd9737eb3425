#pragma once
// One strict HTTP/1.x request reader, shared by the page and metrics ports.
//
// A pure function: the bytes received so far in, and out either a request's
// head, "need more", or a status to answer before closing. Whatever two
// readers of the same bytes could disagree on is refused with 400: a header
// name with whitespace before its colon, a folded line, a first header line
// that starts with whitespace, a Content-Length that is not all digits or
// comes with two values, a bare CR, and an HTTP/1.1 request without exactly
// one Host. Lines may end in CRLF or a bare LF. Nothing is copied: the views
// point into the input and live as long as it is unchanged.

#include <QByteArray>
#include <QByteArrayView>

namespace http {

struct Limits
{
    qsizetype headBytes = 16 * 1024; // request line and headers: over it, 431
    qsizetype targetBytes = 8 * 1024; // over it, 414
};

// A header that may come more than once, read as one list joined by ','.
// Its first value stays a view; only later ones are copied.
struct FieldList
{
    QByteArrayView first;
    QByteArray more; // ",second,third"
    bool present = false;

    void add(QByteArrayView value);
    QByteArray copy() const; // to keep
    // Not copied when it came once: valid while the input and this list are unchanged.
    QByteArray borrow() const;
};

struct RequestHead
{
    QByteArrayView method;
    QByteArrayView target;
    int minorVersion = 1; // 0, or 1 for any later HTTP/1.x
    bool hasHost = false;
    QByteArrayView host;
    qint64 contentLength = 0;
    bool transferEncoding = false; // a body whose end this server cannot find
    bool connectionClose = false; // Connection lists close
    bool connectionKeepAlive = false; // Connection lists keep-alive
    FieldList acceptEncoding;
    FieldList ifNoneMatch;
};

struct ReadResult
{
    enum class Kind { NeedMore, Request, Refuse };
    Kind kind = Kind::NeedMore;
    // Bytes at the front the caller drops: blank lines before a request
    // (NeedMore), or the request line and headers (Request). The body follows.
    qsizetype consumed = 0;
    int status = 0; // Refuse: 400, 414 or 431; the connection closes after it
    const char *why = ""; // Refuse: for the log
    RequestHead head;
};

ReadResult readRequest(QByteArrayView input, const Limits &limits = {});

// The reason phrase of the statuses the server sends.
const char *reasonPhrase(int status);

} // namespace http
