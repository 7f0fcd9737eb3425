#include "server/http/response.h"

#include "server/http/httpdate.h"
#include "server/http/requestreader.h"

#include <QList>
#include <charconv>
#include <cstring>
#include <optional>

namespace http {

namespace {

// Bytes put one after another into room made once: an answer's head is
// built for every request, and a QByteArray grown piece by piece costs more
// than sending it.
class Head
{
public:
    explicit Head(qsizetype room) : m_bytes(room, Qt::Uninitialized), m_end(m_bytes.data()) {}
    Head &operator<<(QByteArrayView bytes)
    {
        Q_ASSERT(m_end + bytes.size() <= m_bytes.data() + m_bytes.size());
        std::memcpy(m_end, bytes.data(), size_t(bytes.size()));
        m_end += bytes.size();
        return *this;
    }
    Head &operator<<(qint64 number)
    {
        m_end = std::to_chars(m_end, m_bytes.data() + m_bytes.size(), number).ptr;
        return *this;
    }
    QByteArray take()
    {
        m_bytes.truncate(m_end - m_bytes.data());
        return std::move(m_bytes);
    }

private:
    QByteArray m_bytes;
    char *m_end;
};

} // namespace

QByteArray headers(const Entity &page, const Request &request, QByteArray *body,
                   qint64 *fileOffset)
{
    const bool validated = page.status == 200 && !page.etag.isEmpty();
    const bool gzip = request.gzip && !page.gzipped.isEmpty();
    const QByteArray &etag = gzip ? page.gzippedEtag : page.etag;
    const bool notModified = validated && matchesEntityTag(request.ifNoneMatch, etag);
    const int status = notModified ? 304 : page.status;
    const QByteArray &content = gzip ? page.gzipped : page.body;
    *body = notModified || request.method == "HEAD" ? QByteArray() : content;
    if (fileOffset)
        *fileOffset = body->isEmpty() || !page.file ? -1 : gzip ? page.file->gzippedOffset() : 0;

    const QByteArray date = dateLine();
    // Every fixed piece below together stays under 640 bytes.
    Head out(640 + etag.size() + date.size());
    out << "HTTP/1.1 " << qint64(status) << " " << reasonPhrase(status);
    if (!notModified) {
        out << "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
            << qint64(content.size());
        if (gzip)
            out << "\r\nContent-Encoding: gzip";
    }
    if (validated)
        out << "\r\nETag: " << etag;
    if (!page.gzipped.isEmpty())
        out << "\r\nVary: Accept-Encoding";
    out << "\r\nCache-Control: no-cache\r\n" << date;
    if (!notModified)
        // Pages never run script, whatever a message holds; pictures may come from anywhere.
        out << "Content-Security-Policy: default-src 'none'; img-src http: https:; "
               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
               "\r\nX-Content-Type-Options: nosniff\r\n";
    if (status == 405)
        out << "Allow: GET, HEAD\r\n";
    if (status == 503)
        out << "Retry-After: 1\r\n";
    if (status == 429)
        out << "Retry-After: 60\r\n";
    if (request.close)
        out << "Connection: close\r\n";
    else if (request.minorVersion == 0)
        out << "Connection: keep-alive\r\n";
    return (out << "\r\n").take();
}

bool acceptsGzip(const QByteArray &acceptEncoding)
{
    if (acceptEncoding.isEmpty())
        return false;
    // A client sends the same value with every request: read once.
    thread_local QByteArray lastValue;
    thread_local bool lastAnswer = false;
    if (acceptEncoding == lastValue)
        return lastAnswer;
    std::optional<bool> gzip;
    std::optional<bool> any;
    for (const QByteArray &item : acceptEncoding.split(',')) {
        const QList<QByteArray> parameters = item.split(';');
        const QByteArray coding = parameters.first().trimmed().toLower();
        bool wanted = true;
        for (qsizetype i = 1; i < parameters.size(); ++i) {
            const QByteArray parameter = parameters[i].trimmed();
            if (parameter.size() < 2 || parameter.first(2).toLower() != "q=")
                continue;
            bool ok = false;
            const double q = parameter.mid(2).toDouble(&ok);
            wanted = ok && q > 0 && q <= 1; // a weight that cannot be read allows nothing
        }
        if (coding == "gzip" || coding == "x-gzip")
            gzip = gzip.value_or(false) || wanted;
        else if (coding == "*")
            any = wanted;
    }
    // A deep copy: the value may be borrowed from the input.
    lastValue = QByteArray(acceptEncoding.constData(), acceptEncoding.size());
    lastAnswer = gzip.value_or(any.value_or(false));
    return lastAnswer;
}

bool matchesEntityTag(const QByteArray &ifNoneMatch, const QByteArray &etag)
{
    if (ifNoneMatch.isEmpty() || etag.isEmpty())
        return false;
    for (const QByteArray &item : ifNoneMatch.split(',')) {
        QByteArray tag = item.trimmed();
        if (tag == "*")
            return true;
        if (tag.startsWith("W/"))
            tag.remove(0, 2);
        if (tag == etag)
            return true;
    }
    return false;
}

} // namespace http
