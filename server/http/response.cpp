#include "server/http/response.h"

#include "server/http/httpdate.h"
#include "server/http/requestreader.h"

#include <QList>
#include <optional>

namespace http {

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

    QByteArray out;
    out.reserve(512);
    out.append("HTTP/1.1 ").append(QByteArray::number(status)).append(' ')
        .append(reasonPhrase(status));
    if (!notModified) {
        out.append("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ")
            .append(QByteArray::number(content.size()));
        if (gzip)
            out.append("\r\nContent-Encoding: gzip");
    }
    if (validated)
        out.append("\r\nETag: ").append(etag);
    if (!page.gzipped.isEmpty())
        out.append("\r\nVary: Accept-Encoding");
    out.append("\r\nCache-Control: no-cache\r\n").append(dateLine());
    if (!notModified)
        // Pages never run script, whatever a message holds; pictures may come from anywhere.
        out.append("Content-Security-Policy: default-src 'none'; img-src http: https:; "
                   "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
                   "\r\nX-Content-Type-Options: nosniff\r\n");
    if (status == 405)
        out.append("Allow: GET, HEAD\r\n");
    if (status == 503)
        out.append("Retry-After: 1\r\n");
    if (status == 429)
        out.append("Retry-After: 60\r\n");
    if (request.close)
        out.append("Connection: close\r\n");
    else if (request.minorVersion == 0)
        out.append("Connection: keep-alive\r\n");
    return out.append("\r\n");
}

bool acceptsGzip(const QByteArray &acceptEncoding)
{
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
    return gzip.value_or(any.value_or(false));
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
