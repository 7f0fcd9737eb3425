#include "server/http/httpconnection.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/http/pagesource.h"
#include "server/http/response.h"
#include "server/net/streamconnection.h"

#include <QList>

namespace {

// A request's line and headers; pages are fetched with small GET requests.
constexpr qsizetype maxHeaderBytes = 16 * 1024;
// Requests sent ahead are read only while this little of the answers waits,
// at most this many per wake-up, and only while this little input waits.
constexpr qsizetype maxPendingOutput = 256 * 1024;
constexpr int maxRequestsPerWake = 16;
constexpr qsizetype maxUnparsedInput = 2 * maxHeaderBytes;

struct Head
{
    QByteArray method;
    QByteArray target;
    int minorVersion = 1;
    QList<QByteArray> connectionOptions; // lower case
    QByteArray acceptEncoding;
    QByteArray ifNoneMatch;
    std::optional<qint64> contentLength;
    bool chunked = false;
    bool valid = false;
};

Head parseHead(const QByteArray &head)
{
    Head request;
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> parts = lines.value(0).split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || parts[1].isEmpty())
        return request;
    const QByteArray &version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return request;
    request.method = parts[0];
    request.target = parts[1];
    request.minorVersion = version.back() - '0';
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "connection") {
            for (const QByteArray &option : value.split(','))
                request.connectionOptions.append(option.trimmed().toLower());
        } else if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || (request.contentLength && *request.contentLength != length))
                return request;
            request.contentLength = length;
        } else if (name == "transfer-encoding") {
            request.chunked = true;
        } else if (name == "accept-encoding" || name == "if-none-match") {
            // Repeated headers count as one list.
            QByteArray &list = name == "if-none-match" ? request.ifNoneMatch : request.acceptEncoding;
            list += list.isEmpty() ? value : ',' + value;
        }
    }
    request.valid = true;
    return request;
}

} // namespace

HttpConnection::HttpConnection(StreamConnection *connection, PageSource &source, int answerMs,
                               int requestMs, LogSink log)
    : QObject(connection),
      m_connection(connection),
      m_source(source),
      m_log(std::move(log)),
      m_requestMs(requestMs)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    m_connection->setInputLimit(maxUnparsedInput);
    m_giveUp.setSingleShot(true);
    m_giveUp.setInterval(answerMs);
    connect(&m_giveUp, &QTimer::timeout, this, [this] {
        answerWaiting(m_source.busy());
        read();
    });
    connect(connection, &StreamConnection::readyRead, this, &HttpConnection::read);
    connect(connection, &StreamConnection::drained, this, &HttpConnection::read);
    read();
}

void HttpConnection::read()
{
    int handled = 0;
    while (!m_closing && !m_waiting && m_connection->isOpen()
           && m_connection->pendingOutput() < maxPendingOutput && handleOne()) {
        if (++handled == maxRequestsPerWake) {
            // The rest after the other connections have had their turn.
            QMetaObject::invokeMethod(this, &HttpConnection::read, Qt::QueuedConnection);
            break;
        }
    }
    if (m_closing || !m_connection->isOpen())
        return;
    m_connection->inputTaken();
    if (m_waiting)
        return;
    if (m_connection->inputEnded() && m_connection->pendingOutput() == 0) {
        // The client has ended its side between requests, or in the middle of one.
        if (!m_connection->input().isEmpty())
            m_log(QStringLiteral("page %1: request ended before it was complete")
                      .arg(m_connection->peer()));
        m_closing = true;
        m_connection->closeWhenWritten();
    }
}

bool HttpConnection::handleOne()
{
    QByteArray &input = m_connection->input();
    if (m_bodyToSkip > 0) {
        const qint64 skipped = qMin(m_bodyToSkip, qint64(input.size()));
        input.remove(0, skipped);
        m_bodyToSkip -= skipped;
        if (m_bodyToSkip > 0)
            return false;
    }
    // Blank lines before a request are ignored.
    qsizetype start = 0;
    while (start < input.size() && (input.at(start) == '\r' || input.at(start) == '\n'))
        ++start;
    input.remove(0, start);
    qsizetype end = input.indexOf("\r\n\r\n");
    qsizetype after = end + 4;
    const qsizetype bare = input.indexOf("\n\n");
    if (bare >= 0 && (end < 0 || bare < end)) {
        end = bare;
        after = bare + 2;
    }
    if (end < 0) {
        if (input.size() > maxHeaderBytes)
            answerAndClose(431, QStringLiteral("headers over %1 bytes").arg(maxHeaderBytes));
        return false;
    }
    if (end > maxHeaderBytes) {
        answerAndClose(431, QStringLiteral("headers over %1 bytes").arg(maxHeaderBytes));
        return false;
    }
    const Head head = parseHead(input.left(end));
    input.remove(0, after);
    if (!head.valid) {
        answerAndClose(400, QStringLiteral("not an HTTP/1.0 or 1.1 request"));
        return false;
    }
    // Without a length the end of a body cannot be found: answer, then close.
    const bool close = head.chunked || head.connectionOptions.contains("close")
        || (head.minorVersion == 0 && !head.connectionOptions.contains("keep-alive"));
    m_bodyToSkip = head.contentLength.value_or(0);
    const Request request{head.method, head.target, head.minorVersion, close,
                          http::acceptsGzip(head.acceptEncoding), head.ifNoneMatch};
    if (head.target == PageSource::healthPath && (head.method == "GET" || head.method == "HEAD"))
        return respond(request, m_source.health());
    m_waiting = request;
    // A client shows a forum's page right after its post has gone out.
    m_waitingFor = m_source.settle(head.target);
    m_since = 0;
    if (tryAnswer())
        return !m_closing;
    m_giveUp.start();
    connect(&m_source, &PageSource::storedUpTo, this, [this] {
        if (tryAnswer())
            read();
    });
    connect(&m_source, &PageSource::built, this, &HttpConnection::pageBuilt);
    return false;
}

bool HttpConnection::tryAnswer()
{
    if (!m_waiting)
        return false;
    const bool page = m_waiting->method == "GET" || m_waiting->method == "HEAD";
    if (page && m_source.isAvailable() && !m_source.isStored(m_waitingFor))
        return false;
    if (m_since == 0)
        m_since = m_source.version();
    const std::optional<http::Entity> answer =
        m_source.answer(m_waiting->method, m_waiting->target, m_since);
    if (!answer)
        return false;
    answerWaiting(*answer);
    return true;
}

void HttpConnection::pageBuilt(const QByteArray &target, quint64 version,
                               const http::Entity &page)
{
    if (!m_waiting || m_since == 0 || target != m_waiting->target)
        return;
    // One built before a change elsewhere is still current if the change
    // touched nothing it shows: the cache knows.
    if (version >= m_since)
        answerWaiting(page);
    else if (!tryAnswer())
        return;
    read();
}

void HttpConnection::answerWaiting(const http::Entity &page)
{
    const Request request = *m_waiting;
    m_waiting.reset();
    m_giveUp.stop();
    disconnect(&m_source, nullptr, this, nullptr);
    if (m_connection->isOpen())
        respond(request, page);
}

bool HttpConnection::respond(const Request &request, const http::Entity &page)
{
    QByteArray body;
    const QByteArray headers = http::headers(page, request, &body);
    const std::string status(headers.constData() + 9, 3); // as sent: a 304 for a page that is 200
    metrics::requestDone("http", status);
    m_log(QStringLiteral("page %1 %2 %3: %4")
              .arg(m_connection->peer(), logtext::printable(request.method, 20),
                   logtext::printable(request.target, 200),
                   QLatin1StringView(status.data(), 3)));
    m_connection->write(headers, body);
    if (request.close) {
        m_closing = true;
        m_connection->setFinished(true);
        m_connection->closeWhenWritten();
        return false;
    }
    // The next request has a whole deadline of its own.
    m_connection->restartDeadline(m_requestMs);
    return true;
}

void HttpConnection::answerAndClose(int status, const QString &why)
{
    metrics::requestDone("http", std::to_string(status));
    m_log(QStringLiteral("page %1 refused: %2").arg(m_connection->peer(), why));
    m_closing = true;
    m_connection->setFinished(true);
    m_connection->input().clear();
    http::Entity page = m_source.badRequest();
    page.status = status;
    QByteArray body;
    const QByteArray headers = http::headers(page, {"GET", {}, 1, true, false, {}}, &body);
    m_connection->write(headers, body);
    m_connection->closeWhenWritten();
}
