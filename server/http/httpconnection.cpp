#include "server/http/httpconnection.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/http/pagesource.h"
#include "server/http/requestreader.h"
#include "server/http/response.h"
#include "server/net/streamconnection.h"

#include <QTimerEvent>
#include <utility>

namespace {

// A request's line and headers; pages are fetched with small GET requests.
constexpr qsizetype maxHeaderBytes = 16 * 1024;
constexpr qsizetype maxTargetBytes = 8 * 1024; // the longest forum name's page is far shorter
// Requests sent ahead are read only while this little of the answers waits,
// at most this many per wake-up, and only while this little input waits.
constexpr qsizetype maxPendingOutput = 256 * 1024;
constexpr int maxRequestsPerWake = 16;
constexpr qsizetype maxUnparsedInput = 2 * maxHeaderBytes;

// Not copied for the methods every page request uses.
QByteArray methodBytes(QByteArrayView method)
{
    if (method == "GET")
        return QByteArrayLiteral("GET");
    if (method == "HEAD")
        return QByteArrayLiteral("HEAD");
    return method.toByteArray();
}

// "page PEER METHOD TARGET: STATUS", put together without a format to
// parse: one line per request.
QString logLine(const QString &peer, const http::Request &request, const char *status)
{
    const bool known = request.method == "GET" || request.method == "HEAD";
    QString line;
    line.reserve(16 + peer.size() + request.method.size() + request.target.size());
    line.append(QLatin1StringView("page ")).append(peer).append(u' ');
    if (known)
        line.append(QLatin1StringView(request.method));
    else
        line.append(logtext::printable(request.method, 20));
    return line.append(u' ')
        .append(logtext::printable(request.target, 200))
        .append(QLatin1StringView(": "))
        .append(QLatin1StringView(status, 3));
}

} // namespace

HttpConnection::HttpConnection(StreamConnection *connection, PageSource &source, int answerMs,
                               int requestMs, LogSink log)
    : QObject(connection),
      m_connection(connection),
      m_source(source),
      m_log(std::move(log)),
      m_requester(connection->peer().left(qMax(0, connection->peer().lastIndexOf(u':')))),
      m_requestMs(requestMs),
      m_answerMs(answerMs)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    m_connection->setInputLimit(maxUnparsedInput);
    m_connection->setShortReadEndsReading(true);
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
    const http::ReadResult parsed = http::readRequest(input, {maxHeaderBytes, maxTargetBytes});
    if (parsed.kind == http::ReadResult::Kind::NeedMore) {
        input.remove(0, parsed.consumed); // blank lines before a request
        return false;
    }
    if (parsed.kind == http::ReadResult::Kind::Refuse) {
        answerAndClose(parsed.status, QString::fromLatin1(parsed.why));
        return false;
    }
    const http::RequestHead &head = parsed.head;
    // Without a length the end of a body cannot be found: answer, then close.
    const bool close = head.transferEncoding || head.connectionClose
        || (head.minorVersion == 0 && !head.connectionKeepAlive);
    m_bodyToSkip = head.contentLength;
    const Request request{methodBytes(head.method), head.target.toByteArray(), head.minorVersion,
                          close, http::acceptsGzip(head.acceptEncoding.borrow()),
                          head.ifNoneMatch.copy()};
    input.remove(0, parsed.consumed); // the views into it are used up
    if (request.target == PageSource::healthPath
        && (request.method == "GET" || request.method == "HEAD"))
        return respond(request, m_source.health());
    m_waiting = request;
    m_address = m_source.address(request.target);
    // A client shows a forum's page right after its post has gone out.
    m_waitingFor = m_source.settle(m_address);
    m_since = 0;
    if (tryAnswer())
        return !m_closing;
    m_giveUp.start(m_answerMs, this);
    m_watchingSource = true;
    connect(&m_source, &PageSource::storedUpTo, this, [this] {
        if (tryAnswer())
            read();
    });
    connect(&m_source, &PageSource::built, this, &HttpConnection::pageBuilt);
    return false;
}

void HttpConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_giveUp.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    answerWaiting(m_source.busy());
    read();
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
        m_source.answer(m_waiting->method, m_address, m_since, m_requester);
    if (!answer)
        return false;
    answerWaiting(*answer);
    return true;
}

void HttpConnection::pageBuilt(const http::Address &address, quint64 version,
                               const http::Entity &page)
{
    if (!m_waiting || m_since == 0)
        return;
    // A later page of a forum waits for its first, which tells how many
    // pages the forum has.
    if (!address.sameKey(m_address)) {
        if (m_address.group == http::Address::search)
            return; // another search's
        const bool looked = address.group == http::Address::unknownForum;
        if (address.group != m_address.group || (address.page != 1 && !looked))
            return;
        if (page.status >= 500)
            answerWaiting(page); // the store failed it
        else if (!tryAnswer())
            return;
        read();
        return;
    }
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
    if (std::exchange(m_watchingSource, false))
        disconnect(&m_source, nullptr, this, nullptr);
    if (m_connection->isOpen())
        respond(request, page);
}

bool HttpConnection::respond(const Request &request, const http::Entity &page)
{
    QByteArray body;
    qint64 fileOffset = -1;
    const QByteArray headers = http::headers(page, request, &body, &fileOffset);
    const std::string status(headers.constData() + 9, 3); // as sent: a 304 for a page that is 200
    metrics::requestDone("http", status);
    m_log(logLine(m_connection->peer(), request, status.data()));
    if (fileOffset >= 0)
        m_connection->write(headers, page.file->descriptor(), fileOffset, body.size(), page.file);
    else
        m_connection->write(headers, body);
    if (request.close) {
        m_closing = true;
        m_connection->setFinished(true);
        if (m_bodyToSkip == 0)
            m_connection->closeWhenWrittenAndRead();
        else
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
