// The HTTP port's pages, fetched as a browser or the client's view would.

#include "httpanswer.h"
#include "plainsender.h"
#include "serverfixture.h"
#include "tests/missingtool.h"
#include "waits.h"
#include "wireclient.h"

#include "server/store/forumstore.h"
#include "server/store/moderation.h"
#include "server/base/servermetrics.h"
#include "server/pages/pagecache.h"
#include "server/pages/pageserver.h"
#include "server/pages/pages.h"
#include "server/pages/searchpage.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QDir>
#include <QSqlDatabase>
#include <QSocketNotifier>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

namespace {

using kit::bodyOf;
using kit::header;
using kit::headersOf;

// One whole answer from a blocking socket, taken from the front of *buffer;
// empty on timeout. The server runs in this thread: events are handled meanwhile.
QByteArray readAnswer(int fd, QByteArray *buffer, bool head = false)
{
    qsizetype length = -1;
    const bool done = waitUntil([&] {
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0)
            buffer->append(chunk, got);
        return (length = kit::answerLength(*buffer, head)) >= 0;
    });
    if (!done)
        return {};
    const QByteArray answer = buffer->left(length);
    buffer->remove(0, length);
    return answer;
}

// The answer to one request on a connection of its own; *next: the answer
// to a request for a missing page sent right after it.
QByteArray answerTo(quint16 port, QByteArray request, QByteArray *next = nullptr)
{
    const int fd = kit::connectLoopback(port);
    if (fd < 0)
        return {};
    const bool head = request.startsWith("HEAD");
    if (next)
        request += "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    QByteArray buffer;
    const QByteArray answer = readAnswer(fd, &buffer, head);
    if (next)
        *next = readAnswer(fd, &buffer);
    ::close(fd);
    return answer;
}

QByteArray gunzip(const QByteArray &gzipped)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return {};
    QByteArray out(1024 * 1024, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gzipped.constData()));
    stream.avail_in = uInt(gzipped.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const bool whole = inflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(qsizetype(stream.total_out));
    inflateEnd(&stream);
    return whole ? out : QByteArray("<not gzip>");
}

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") within a minute of now.
bool isCurrentDate(const QByteArray &value)
{
    if (value.size() != 29 || !value.endsWith(" GMT"))
        return false;
    QDateTime date = QDateTime::fromString(QString::fromLatin1(value.chopped(4)),
                                           QStringLiteral("ddd, dd MMM yyyy HH:mm:ss"));
    date.setTimeZone(QTimeZone::utc());
    return date.isValid() && qAbs(date.secsTo(QDateTime::currentDateTimeUtc())) < 60;
}

// A page counter of the process's metrics (the server runs in it):
// "hits" or "misses" (builds).
double pageCount(const char *which)
{
    const QByteArray series = QByteArray("tavernly_page_cache_") + which + "_total ";
    for (const QByteArray &line : QByteArray::fromStdString(metrics::text()).split('\n')) {
        if (line.startsWith(series))
            return line.mid(series.size()).toDouble();
    }
    return -1;
}

// Reads into *buffer until the server closes the socket (within a generous wait).
bool readUntilClosed(int fd, QByteArray *buffer)
{
    return waitUntil([fd, buffer] {
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0)
            buffer->append(chunk, got);
        return got == 0;
    });
}

} // namespace

class TestServerPages : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startPageListsForumsWithCounts();
    void forumPageShowsMessagesSafely();
    void awkwardNamesHaveWorkingPages_data();
    void awkwardNamesHaveWorkingPages();
    void largeForumIsPaged();
    void unknownPathsAndMethods_data();
    void unknownPathsAndMethods();
    void headAnswersWithoutBody();
    void metricsPortReadsAsStrictly_data();
    void metricsPortReadsAsStrictly();
    void connectionEndsAsTheClientAsks_data();
    void connectionEndsAsTheClientAsks();
    void bodyStillComingAfterTheLastAnswerIsTakenNotReset();
    void forumOfExactlyOnePageHasNoOlderLink();
    void olderDatabaseGetsItsCounts();
    void pageRightAfterAPostHoldsIt();
    void clientThatNeverReadsIsHeldToTheInputBound();
    void hiddenMessageLeavesPagesCountAndPaging();
    void validatorsAndGzipAsAsked_data();
    void validatorsAndGzipAsAsked();
    void postChangesOnlyItsForumAndTheStartPage();
    void floodOfSpellingsLeavesReadersServed_data();
    void floodOfSpellingsLeavesReadersServed();
    void cacheDropsTheLeastRecentlyRead();
    void largePageReachesASlowReaderWhole();
    void otherServersPostChangesTheTag();
    void searchFindsVisibleWordsOnly();
    void searchIsBoundedAndLimited();

private:
    QByteArray fetch(const QString &path, int *status = nullptr);
    QStringList found(const QString &words, int *status = nullptr);
    void create(const QByteArray &name);
    std::unique_ptr<ServerFixture> m_fixture;
};

void TestServerPages::init()
{
    if (ServerFixture::databaseMissing())
        SKIP_FOR_MISSING("PostgreSQL is not installed");
    m_fixture = std::make_unique<ServerFixture>();
    QVERIFY(m_fixture->start());
}

void TestServerPages::cleanup()
{
    m_fixture.reset();
}

QByteArray TestServerPages::fetch(const QString &path, int *status)
{
    QNetworkReply *reply = m_fixture->get(path);
    if (status)
        *status = 0; // none came
    if (!waitUntil([reply] { return reply->isFinished(); }))
        return "<timed out>";
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->header(QNetworkRequest::ContentTypeHeader).toString()
        != QStringLiteral("text/html; charset=utf-8"))
        return "<wrong content type>";
    return reply->readAll();
}

void TestServerPages::create(const QByteArray &name)
{
    WireClient client(m_fixture->server().createPort());
    client.send(name);
    QVERIFY(waitUntil([&] { return client.closedByServer(); }));
    QCOMPARE(client.reply(), QByteArray("CREATED"));
}

void TestServerPages::startPageListsForumsWithCounts()
{
    create("Tom & Jerry");
    int status = 0;
    const QByteArray page = fetch("/dn.htm", &status);
    QCOMPARE(status, 200);
    QVERIFY(page.contains("Tavernly"));
    QVERIFY(page.contains("<a href=\"/tav/Welcome.htm\">Welcome</a> (1 message)"));
    QVERIFY(page.contains(
        "<a href=\"/tav/Tom%20%26%20Jerry.htm\">Tom &amp; Jerry</a> (0 messages)"));
    QVERIFY(page.indexOf("Welcome.htm") < page.indexOf("Tom%20"));
}

void TestServerPages::forumPageShowsMessagesSafely()
{
    WireClient post(m_fixture->server().postPort());
    post.send("Welcome*<b>Hi</b> 1/2/2025<script>steal()</script>*"
              "<i>one</i><br>\r\n<a href=\"javascript:steal()\" onclick=\"steal()\">x</a>"
              "<img src=\"http://x.org/p.png\" onerror=\"steal()\"><iframe src=\"http://x\">"
              "</iframe><p style=\"position:fixed\">p</p>",
              WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);

    const QByteArray page = fetch("/tav/Welcome.htm");
    QVERIFY(page.contains("<h2>Welcome</h2>"));
    const QByteArray newest = "<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\">"
                              "<b><font color=\"#FFFFFF\"><b>Hi</b> 1/2/2025</b></td></tr><tr>"
                              "<td bgcolor=\"#EAEAEA\"><font color=\"#000000\"><i>one</i><br>\n"
                              "<a>x</a><img src=\"http://x.org/p.png\"><p>p</p></font></td></tr>"
                              "</table><br>";
    QVERIFY2(page.contains(newest), page.constData());
    // Newest first: the welcome message comes after it.
    QVERIFY(page.indexOf(newest) < page.indexOf("Welcome to Tavernly"));
    const QByteArray lower = page.toLower();
    for (const char *banned : {"<script", "javascript:", "onclick", "onerror", "<iframe",
                               "style="})
        QVERIFY2(!lower.contains(banned), banned);
}

void TestServerPages::awkwardNamesHaveWorkingPages_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("heading");
    QTest::newRow("dot dot") << QByteArray("..") << QByteArray("<h2>..</h2>");
    QTest::newRow("encoded slash") << QByteArray("a%2fb") << QByteArray("<h2>a%2fb</h2>");
    QTest::newRow("ampersand") << QByteArray("R&D") << QByteArray("<h2>R&amp;D</h2>");
    QTest::newRow("hash") << QByteArray("#general") << QByteArray("<h2>#general</h2>");
    QTest::newRow("arg markers") << QByteArray("%1 %2") << QByteArray("<h2>%1 %2</h2>");
    QTest::newRow("accented") << QByteArray("Caf\xc3\xa9") << QByteArray("<h2>Caf\xc3\xa9</h2>");
    QTest::newRow("blank") << QByteArray(" ") << QByteArray("<h2> </h2>");
}

void TestServerPages::awkwardNamesHaveWorkingPages()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, heading);
    create(name);
    const QString link = pages::forumLink(QString::fromUtf8(name));
    // The start page links to the page that shows the forum.
    QVERIFY(fetch("/dn.htm").contains("href=\"" + link.toUtf8() + "\""));
    int status = 0;
    const QByteArray page = fetch(link, &status);
    QCOMPARE(status, 200);
    QVERIFY2(page.contains(heading), page.constData());
}

void TestServerPages::largeForumIsPaged()
{
    create("Busy"); // through the server, which knows its forums from memory
    {
        ForumStore store; // a second connection to the live database
        QVERIFY(store.open(m_fixture->database(), nullptr));
        const qint64 id = *store.forumId("Busy");
        // One batch, as the writer stores them: more rows than one statement takes.
        QList<NewMessage> batch;
        for (int i = 1; i <= 150; ++i) {
            const QByteArray title = "<b>T" + QByteArray::number(i) + "</b>";
            const QByteArray body = i == 150 ? "lastinbatch" : "m";
            batch.append({id, title, body, sanitizeHtml(title), sanitizeHtml(body), 0});
        }
        QVERIFY(store.addMessages(batch));
    }
    QVERIFY(fetch("/search?q=lastinbatch").contains("<a href=\"/tav/Busy.htm#m150\">"));
    const QByteArray first = fetch("/tav/Busy.htm");
    QCOMPARE(first.count("<table"), 100);
    QVERIFY(first.indexOf("<b>T150</b>") < first.indexOf("<b>T51</b>"));
    QVERIFY(!first.contains("<b>T50</b>"));
    QVERIFY(first.contains("href=\"/tav/Busy.htm?page=2\">Older"));
    QVERIFY(!first.contains("Page 1"));

    const QByteArray second = fetch("/tav/Busy.htm?page=2");
    QCOMPARE(second.count("<table"), 50);
    QVERIFY(second.contains("<p>Page 2 of 2</p>")); // fault: which page it is is not said, or miscounted
    QVERIFY(second.indexOf("<b>T50</b>") < second.indexOf("<b>T1</b>"));
    QVERIFY(!second.contains("page=3"));
    QVERIFY(second.contains("href=\"/tav/Busy.htm\">Newer"));

    int status = 0;
    fetch("/tav/Busy.htm?page=3", &status);
    QCOMPARE(status, 404);
}

void TestServerPages::unknownPathsAndMethods_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::newRow("unknown forum") << QByteArray("GET /tav/Nowhere.htm") << QByteArray("404");
    QTest::newRow("other path") << QByteArray("GET /etc/passwd") << QByteArray("404");
    QTest::newRow("root") << QByteArray("GET /") << QByteArray("404");
    QTest::newRow("climbing out") << QByteArray("GET /tav/../dn.htm") << QByteArray("404");
    QTest::newRow("bad page number") << QByteArray("GET /tav/Welcome.htm?page=x")
                                     << QByteArray("404");
    QTest::newRow("page zero") << QByteArray("GET /tav/Welcome.htm?page=0") << QByteArray("404");
    QTest::newRow("past the last page") << QByteArray("GET /tav/Welcome.htm?page=2")
                                        << QByteArray("404");
    QTest::newRow("first page by number, other parameters")
        << QByteArray("GET /tav/Welcome.htm?x=1&page=1&y") << QByteArray("200");
    QTest::newRow("post") << QByteArray("POST /dn.htm") << QByteArray("405");
    QTest::newRow("delete") << QByteArray("DELETE /tav/Welcome.htm") << QByteArray("405");
}

void TestServerPages::unknownPathsAndMethods()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    WireClient client(m_fixture->server().httpPort());
    client.send(request + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    WAIT_VERIFY(client.reply().contains("</html>"));
    QVERIFY2(client.reply().startsWith("HTTP/1.1 " + statusLine), client.reply().constData());
    QVERIFY(client.reply().contains("Content-Type: text/html; charset=utf-8"));
    QCOMPARE(header(client.reply(), "Allow"),
             statusLine == "405" ? QByteArray("GET, HEAD") : QByteArray());
}

void TestServerPages::headAnswersWithoutBody()
{
    const QByteArray body = fetch("/dn.htm");
    WireClient client(m_fixture->server().httpPort());
    client.send("HEAD /dn.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    WAIT_VERIFY(client.reply().endsWith("\r\n\r\n"));
    QVERIFY(client.reply().startsWith("HTTP/1.1 200"));
    QVERIFY(client.reply().contains("Content-Length: " + QByteArray::number(body.size())));
    QVERIFY(!client.reply().contains("<html"));
}

void TestServerPages::metricsPortReadsAsStrictly_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("allow");
    QTest::newRow("scrape") << QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                            << QByteArray("HTTP/1.1 200 OK") << QByteArray();
    QTest::newRow("HTTP/1.2") << QByteArray("GET /metrics HTTP/1.2\r\nHost: x\r\n\r\n")
                              << QByteArray("HTTP/1.1 200 OK") << QByteArray();
    QTest::newRow("LF CR LF") << QByteArray("GET /metrics HTTP/1.1\nHost: x\n\r\n")
                              << QByteArray("HTTP/1.1 200 OK") << QByteArray();
    QTest::newRow("post") << QByteArray("POST /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                          << QByteArray("HTTP/1.1 405 Method Not Allowed")
                          << QByteArray("GET, HEAD");
    QTest::newRow("without Host") << QByteArray("GET /metrics HTTP/1.1\r\n\r\n")
                                  << QByteArray("HTTP/1.1 400 Bad Request") << QByteArray();
    QTest::newRow("signed length")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: +0\r\n\r\n")
        << QByteArray("HTTP/1.1 400 Bad Request") << QByteArray();
    QTest::newRow("folded line")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\nX: a\r\n b\r\n\r\n")
        << QByteArray("HTTP/1.1 400 Bad Request") << QByteArray();
}

// The metrics port reads with the page port's reader: one answer, dated, then it closes.
void TestServerPages::metricsPortReadsAsStrictly()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, allow);
    ServerConfig config = ServerFixture::quickConfig();
    config.metricsAddress = QHostAddress(QHostAddress::LocalHost);
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    const int fd = kit::connectLoopback(m_fixture->server().metricsPort());
    QVERIFY(fd >= 0);
    QCOMPARE(::send(fd, request.constData(), size_t(request.size()), 0), ssize_t(request.size()));
    QByteArray answer;
    QVERIFY(readUntilClosed(fd, &answer));
    ::close(fd);
    QVERIFY2(answer.startsWith(statusLine + "\r\n"), answer.constData());
    QCOMPARE(header(answer, "Allow"), allow);
    QVERIFY2(isCurrentDate(header(answer, "Date")), answer.constData());
    QCOMPARE(header(answer, "Content-Length").toLongLong(), bodyOf(answer).size());
}

// An answer sent before its request's body has all come (a refused POST)
// ends the connection in order while the body still arrives: a close with
// input on its way would answer that input with a reset, which can destroy
// the answer in flight.
void TestServerPages::bodyStillComingAfterTheLastAnswerIsTakenNotReset()
{
    const int fd = kit::connectLoopback(m_fixture->server().httpPort());
    QVERIFY(fd >= 0);
    const QByteArray head = "POST /dn.htm HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                            "Content-Length: 4096\r\n\r\n";
    QCOMPARE(::send(fd, head.constData(), size_t(head.size()), 0), ssize_t(head.size()));
    QByteArray buffer;
    QVERIFY(readAnswer(fd, &buffer).startsWith("HTTP/1.1 405"));
    QVERIFY(readUntilClosed(fd, &buffer)); // the server's end, in order
    const QByteArray body(4096, 'b');
    QCOMPARE(::send(fd, body.constData(), size_t(body.size()), MSG_NOSIGNAL), ssize_t(body.size()));
    const auto state = [fd] {
        tcp_info info{};
        socklen_t length = sizeof info;
        ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length);
        return int(info.tcpi_state);
    };
    QVERIFY(!waitUntil([&] { return state() != TCP_CLOSE_WAIT; }, 300)); // no reset came back
    ::close(fd);
}

void TestServerPages::connectionEndsAsTheClientAsks_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArrayList>("statuses"); // of the answers to one send, in order
    const QByteArrayList one{"HTTP/1.1 "};
    QTest::newRow("HTTP/1.0") << QByteArray("GET /dn.htm HTTP/1.0\r\n\r\n") << true << one;
    QTest::newRow("HTTP/1.0 HEAD") << QByteArray("HEAD /dn.htm HTTP/1.0\r\n\r\n") << true << one;
    QTest::newRow("HTTP/1.0 keep-alive")
        << QByteArray("GET /dn.htm HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << false << one;
    QTest::newRow("HTTP/1.1 close")
        << QByteArray("GET /tav/Welcome.htm HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        << true << one;
    QTest::newRow("HTTP/1.1") << QByteArray("GET /tav/Welcome.htm HTTP/1.1\r\nHost: x\r\n\r\n")
                              << false << one;
    QTest::newRow("HTTP/1.1 not found") << QByteArray("GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n")
                                        << false << one;
    QTest::newRow("two requests in one write")
        << QByteArray("GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n"
                      "GET /dn.htm HTTP/1.1\r\nHost: x\r\n\r\n")
        << false << QByteArrayList{"HTTP/1.1 404", "HTTP/1.1 200"};
    QTest::newRow("a body, then the next request") // the body looks like a request line
        << QByteArray("GET /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nGET /"
                      "GET /dn.htm HTTP/1.1\r\nHost: x\r\n\r\n")
        << false << QByteArrayList{"HTTP/1.1 404", "HTTP/1.1 200"};
    QTest::newRow("HTTP/1.2, served as 1.1")
        << QByteArray("GET /tav/Welcome.htm HTTP/1.2\r\nHost: x\r\n\r\n") << false << one;
    QTest::newRow("LF CR LF ends the headers")
        << QByteArray("GET /tav/Welcome.htm HTTP/1.1\nHost: x\n\r\n") << false << one;
    // A reader that took these lengths otherwise would answer the request behind them.
    const QByteArray hidden = "GET /dn.htm HTTP/1.1\r\nHost: x\r\n\r\n";
    const QByteArrayList refused{"HTTP/1.1 400"};
    QTest::newRow("a request behind a signed length")
        << "GET /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: +5\r\n\r\nGET /" + hidden
        << true << refused;
    QTest::newRow("a request behind a space before the colon")
        << "GET /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length : 5\r\n\r\nGET /" + hidden
        << true << refused;
    QTest::newRow("a request behind two lengths")
        << "GET /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 0\r\n"
           "\r\nGET /" + hidden
        << true << refused;
    QTest::newRow("a request behind a folded line")
        << "GET /nowhere HTTP/1.1\r\nHost: x\r\nX: a\r\n Content-Length: 5\r\n\r\nGET /"
               + hidden
        << true << refused;
    QTest::newRow("HTTP/1.1 without Host") << "GET /dn.htm HTTP/1.1\r\n\r\n" + hidden << true
                                           << refused;
}

// Closing after the answer, or answering the next request on the same
// connection; pages never run script whatever a message holds.
void TestServerPages::connectionEndsAsTheClientAsks()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, closes);
    QFETCH(QByteArrayList, statuses);
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = 60000; // a close seen in the test comes from the answer, not a deadline
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    const int fd = kit::connectLoopback(m_fixture->server().httpPort());
    QVERIFY(fd >= 0);
    const bool head = request.startsWith("HEAD");
    QByteArray buffer;
    for (int round = 0; round < (closes ? 1 : 2); ++round) {
        QCOMPARE(::send(fd, request.constData(), size_t(request.size()), 0), ssize_t(request.size()));
        for (const QByteArray &status : statuses) {
            const QByteArray answer = readAnswer(fd, &buffer, head);
            QVERIFY2(answer.startsWith(status), answer.constData());
            QVERIFY(answer.contains("\r\nContent-Security-Policy: default-src 'none';"));
            QVERIFY(!answer.contains("script-src"));
            QVERIFY(answer.contains("\r\nX-Content-Type-Options: nosniff\r\n"));
            QCOMPARE(answer.contains("\r\nConnection: close\r\n"), closes);
            QCOMPARE(answer.contains("</html>"), !head);
            QVERIFY2(isCurrentDate(header(answer, "Date")), answer.constData());
        }
    }
    if (closes) {
        QVERIFY(readUntilClosed(fd, &buffer));
        QVERIFY2(buffer.isEmpty(), buffer.constData()); // nothing answered after the last
    } else { // the later answers came on the same connection, and it stays open
        char byte;
        QCOMPARE(::recv(fd, &byte, 1, MSG_DONTWAIT), ssize_t(-1));
        QVERIFY(buffer.isEmpty()); // and nothing more came
    }
    ::close(fd);
}

void TestServerPages::forumOfExactlyOnePageHasNoOlderLink()
{
    {
        ForumStore store; // a second connection to the live database
        QVERIFY(store.open(m_fixture->database(), nullptr));
        for (int i = 0; i < 99; ++i) // and the welcome message
            QVERIFY(addMessage(store, *store.forumId("Welcome"), "<b>T</b>", "m"));
    }
    const QByteArray page = fetch("/tav/Welcome.htm");
    QCOMPARE(page.count("<table"), 100);
    QVERIFY(!page.contains("page=2"));
    QVERIFY(fetch("/dn.htm").contains("Welcome</a> (100 messages)"));
    int status = 0;
    fetch("/tav/Welcome.htm?page=2", &status);
    QCOMPARE(status, 404);
}

// A database written before counts were kept gets them on the next start.
void TestServerPages::olderDatabaseGetsItsCounts()
{
    if (m_fixture->database().engine != DatabaseUrl::Engine::SQLite)
        QSKIP("the older layout only ever existed in SQLite files");
    m_fixture->stop();
    {
        const QString name = QStringLiteral("older");
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QDir(m_fixture->dataDir()).filePath(ForumStore::fileName()));
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const char *statement :
             {"DROP TABLE message_words", "DROP TABLE search_backlog",
              "DROP TABLE spool_marks", "DROP TABLE moderation", "DROP TABLE messages",
              "DROP TABLE forums",
              "CREATE TABLE forums (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, "
              "created INTEGER NOT NULL)",
              "CREATE TABLE messages (id INTEGER PRIMARY KEY, forum INTEGER NOT NULL "
              "REFERENCES forums(id), title BLOB NOT NULL, body BLOB NOT NULL, title_html TEXT "
              "NOT NULL, body_html TEXT NOT NULL, arrived INTEGER NOT NULL)",
              "CREATE INDEX messages_by_forum ON messages (forum, id)",
              "INSERT INTO forums VALUES (1, 'Welcome', 0), (2, 'Old', 0), (3, 'Empty', 0)",
              "INSERT INTO messages (forum, title, body, title_html, body_html, arrived) VALUES "
              "(1, 't', 'b', 't', 'b', 0), (2, 't', 'b', 't', 'b', 0), (2, 't', 'b', 't', 'b', 0)",
              "PRAGMA user_version = 1"})
            QVERIFY2(query.exec(QString::fromLatin1(statement)), statement);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("older"));
    QVERIFY(m_fixture->start());
    const QByteArray start = fetch("/dn.htm");
    QVERIFY(start.contains("Welcome</a> (1 message)"));
    QVERIFY(start.contains("Old</a> (2 messages)"));
    QVERIFY(start.contains("Empty</a> (0 messages)"));
    // Its messages are indexed for search in the background.
    QVERIFY(waitUntil([&] { return fetch("/search?q=b").contains("<p>3 messages hold"); }));

    WireClient post(m_fixture->server().postPort());
    post.send("Old*<b>New</b>*after the upgrade", WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    QVERIFY(fetch("/dn.htm").contains("Old</a> (3 messages)"));
    QVERIFY(fetch("/tav/Old.htm").contains("after the upgrade"));
}

// The client asks for the forum's page the moment its post has gone out. The
// server may see the page request before it has noticed the post's end; the
// page must hold the post all the same.
void TestServerPages::pageRightAfterAPostHoldsIt()
{
    create("Ale");
    // Each round's posts still wait in the system's queue, more of them than
    // the port takes in per turn, when the page is asked for.
    constexpr int postsPerRound = 40;
    for (int round = 0; round < 20; ++round) {
        const QByteArray body = "round " + QByteArray::number(round) + " post ";
        for (int i = 0; i < postsPerRound; ++i) {
            const int post = kit::connectLoopback(m_fixture->server().postPort());
            QVERIFY(post >= 0);
            const QByteArray request = "Ale*<b>T</b>*" + body + QByteArray::number(i) + '.';
            QCOMPARE(::send(post, request.constData(), size_t(request.size()), 0), ssize_t(request.size()));
            ::close(post);
        }
        const int page = kit::connectLoopback(m_fixture->server().httpPort());
        QVERIFY(page >= 0);
        const QByteArray get = "GET /tav/Ale.htm HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        QCOMPARE(::send(page, get.constData(), size_t(get.size()), 0), ssize_t(get.size()));
        // The whole answer: its headers, then as many bytes as they announce.
        QByteArray answer;
        const auto whole = [&] {
            const qsizetype end = answer.indexOf("\r\n\r\n");
            if (end < 0)
                return false;
            const qsizetype at = answer.toLower().indexOf("content-length:");
            const qsizetype length = answer.mid(at + 15, answer.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
            return answer.size() >= end + 4 + length;
        };
        QVERIFY(waitUntil([&] {
            char buffer[65536];
            const ssize_t got = ::recv(page, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                answer.append(buffer, got);
            return whole();
        }));
        ::close(page);
        for (int i = 0; i < postsPerRound; ++i)
            QVERIFY2(answer.contains(body + QByteArray::number(i) + '.'),
                     qPrintable(QStringLiteral("round %1, post %2").arg(round).arg(i)));
    }
}

// Requests sent ahead without ever reading an answer: the server answers
// until a little output waits, then reads no more of that connection, so the
// client soon cannot send either, while others are still served.
void TestServerPages::clientThatNeverReadsIsHeldToTheInputBound()
{
    const int fd = kit::connectLoopback(m_fixture->server().httpPort(), 16 * 1024);
    QVERIFY(fd >= 0);
    const QByteArray burst = QByteArray("GET /dn.htm HTTP/1.1\r\nHost: x\r\n\r\n").repeated(1024);
    const qint64 most = 64 * 1024 * 1024;
    qint64 sent = 0;
    // Sends while the system takes it, for as long as a server still reading
    // would take to read it all.
    waitUntil([&] {
        const qsizetype from = sent % burst.size(); // whole requests, end to end
        const ssize_t n = ::send(fd, burst.constData() + from, size_t(burst.size() - from),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        return sent >= most;
    }, 2000); // well within the request deadline (5 s from the last answer) for what follows
    // The system's buffers hold a few hundred KiB here; the server, a little more.
    QVERIFY2(sent < 4 * 1024 * 1024, qPrintable(QString::number(sent)));
    int status = 0;
    fetch("/dn.htm", &status);
    QCOMPARE(status, 200);
    // Once the client reads, the server reads on: every whole request is answered.
    const qint64 whole = sent / (burst.size() / 1024);
    const QByteArray statusLine = "HTTP/1.1 200 OK\r\n";
    qint64 answered = 0;
    QByteArray tail;
    QSocketNotifier readable(fd, QSocketNotifier::Read); // wakes the wait as answers arrive
    waitUntil([&] {
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            tail.append(chunk, got);
            answered += tail.count(statusLine);
            tail = tail.right(statusLine.size() - 1);
        }
        return answered >= whole;
    }, 30000);
    QCOMPARE(answered, whole);
    ::close(fd);
}

// Hidden through a connection of its own (as the command does), a message
// leaves the running server's pages and its forum's count, the paging closes
// up, the others keep their numbers; shown again, all is as before.
void TestServerPages::hiddenMessageLeavesPagesCountAndPaging()
{
    create("Mod"); // through the server, which knows its forums from memory
    ForumStore store; // a second connection to the live database
    QVERIFY(store.open(m_fixture->database(), nullptr));
    const qint64 id = *store.forumId("Mod");
    for (int i = 1; i <= 101; ++i)
        QVERIFY(addMessage(store, id, "<b>T" + QByteArray::number(i) + "</b>", "m"));
    QByteArray page = fetch("/tav/Mod.htm");
    QVERIFY(page.contains("<a id=\"m101\"></a><table") && page.contains("id=\"m2\""));
    QVERIFY(!page.contains("id=\"m1\"") && page.contains("?page=2"));

    QString error;
    using moderation::Result;
    QCOMPARE(moderation::setHidden(store, "Mod", 50, true, "tester", &error), Result::Changed);
    // Once a second at most on SQLite; on PostgreSQL at the commit.
    QVERIFY(waitUntil([&] { return !(page = fetch("/tav/Mod.htm")).contains("<b>T50</b>"); },
                      3000));
    QCOMPARE(page.count("<table"), 100);
    QVERIFY(page.contains("id=\"m51\"") && page.contains("id=\"m49\"")
            && page.contains("id=\"m1\""));
    QVERIFY(!page.contains("id=\"m50\"") && !page.contains("?page=2"));
    QVERIFY(waitUntil([&] { return fetch("/dn.htm").contains("Mod</a> (100 messages)"); }, 3000));
    int status = 0;
    fetch("/tav/Mod.htm?page=2", &status);
    QCOMPARE(status, 404);

    QCOMPARE(moderation::setHidden(store, "Mod", 50, true, "tester", &error), Result::AlreadySo);
    QCOMPARE(moderation::setHidden(store, "Mod", 102, true, "tester", &error), Result::NoMessage);
    QCOMPARE(moderation::setHidden(store, "None", 1, true, "tester", &error), Result::NoForum);
    QCOMPARE(moderation::setHidden(store, "Mod", 50, false, "tester", &error), Result::Changed);
    // A page built for an earlier change may show it before the server has
    // noticed it; the start page is the one that waits for the notice.
    QVERIFY(waitUntil([&] { return fetch("/tav/Mod.htm").contains("<b>T50</b>"); }, 3000));
    QVERIFY(waitUntil([&] { return fetch("/dn.htm").contains("Mod</a> (101 messages)"); }, 3000));
    QVERIFY(fetch("/tav/Mod.htm?page=2").contains("<a id=\"m1\"></a><table"));
}

QTEST_GUILESS_MAIN(TestServerPages)
#include "tst_serverpages.moc"

void TestServerPages::validatorsAndGzipAsAsked_data()
{
    QTest::addColumn<QByteArray>("headers"); // TAG and GZTAG: the page's current tags
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("gzipped");
    QTest::newRow("plain") << QByteArray() << 200 << false;
    QTest::newRow("its tag") << QByteArray("If-None-Match: TAG") << 304 << false;
    QTest::newRow("weak form of its tag") << QByteArray("If-None-Match: W/TAG") << 304 << false;
    QTest::newRow("its tag in a list") << QByteArray("If-None-Match: \"x\", TAG") << 304 << false;
    QTest::newRow("its tag, a header apart")
        << QByteArray("If-None-Match: \"x\"\r\nIf-None-Match: TAG") << 304 << false;
    QTest::newRow("any tag") << QByteArray("If-None-Match: *") << 304 << false;
    QTest::newRow("another tag") << QByteArray("If-None-Match: \"x\"") << 200 << false;
    QTest::newRow("gzip") << QByteArray("Accept-Encoding: gzip, deflate") << 200 << true;
    QTest::newRow("gzip weighted") << QByteArray("Accept-Encoding: GZIP;q=0.5") << 200 << true;
    QTest::newRow("gzip refused") << QByteArray("Accept-Encoding: gzip;q=0") << 200 << false;
    QTest::newRow("gzip refused, long form")
        << QByteArray("Accept-Encoding: deflate, gzip ; q=0.000") << 200 << false;
    QTest::newRow("anything") << QByteArray("Accept-Encoding: *") << 200 << true;
    QTest::newRow("anything but gzip") << QByteArray("Accept-Encoding: *, gzip;q=0") << 200 << false;
    QTest::newRow("deflate only") << QByteArray("Accept-Encoding: deflate") << 200 << false;
    QTest::newRow("gzip, its gzip tag")
        << QByteArray("Accept-Encoding: gzip\r\nIf-None-Match: GZTAG") << 304 << true;
    QTest::newRow("gzip, the plain tag") // not the bytes it would send
        << QByteArray("Accept-Encoding: gzip\r\nIf-None-Match: TAG") << 200 << true;
}

// GET and HEAD with the same headers get the same headers back; a 304 has
// the caching headers of a 200 and no body; gzip unpacks to the page.
void TestServerPages::validatorsAndGzipAsAsked()
{
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(bool, gzipped);
    const quint16 port = m_fixture->server().httpPort();
    const QByteArray path = "/tav/Welcome.htm";
    const QByteArray plain = answerTo(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    const QByteArray packed = answerTo(
        port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n");
    const QByteArray tag = header(plain, "ETag");
    QVERIFY(tag.startsWith('"') && tag.endsWith('"') && tag.size() > 8);
    QVERIFY(header(packed, "ETag") != tag);
    headers.replace("GZTAG", header(packed, "ETag")).replace("TAG", tag);

    const QByteArray ask = " " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n\r\n";
    QByteArray afterGet;
    QByteArray afterHead;
    const QByteArray get = answerTo(port, "GET" + ask, &afterGet);
    const QByteArray head = answerTo(port, "HEAD" + ask, &afterHead);
    // Nothing beyond what the headers announce came before the next answer.
    QVERIFY(afterGet.startsWith("HTTP/1.1 404 "));
    QVERIFY(afterHead.startsWith("HTTP/1.1 404 "));
    QVERIFY2(get.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), get.constData());
    // The two answers may fall in different seconds: the Date line aside,
    // they are the same.
    const auto undated = [](const QByteArray &answer) {
        QByteArray headers = headersOf(answer);
        const qsizetype date = headers.indexOf("\r\nDate: ");
        if (date >= 0)
            headers.remove(date, headers.indexOf("\r\n", date + 2) - date);
        return headers;
    };
    QVERIFY(isCurrentDate(header(head, "Date")));
    QCOMPARE(undated(head), undated(get));
    QCOMPARE(header(get, "ETag"), header(gzipped ? packed : plain, "ETag"));
    QCOMPARE(header(get, "Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(header(get, "Vary"), QByteArray("Accept-Encoding"));
    if (status == 304) {
        QVERIFY(bodyOf(get).isEmpty());
        QVERIFY(header(get, "Content-Length").isEmpty());
        return;
    }
    QCOMPARE(header(get, "Content-Encoding"), gzipped ? QByteArray("gzip") : QByteArray());
    QCOMPARE(header(get, "Content-Length").toLongLong(), bodyOf(get).size());
    QCOMPARE(gzipped ? gunzip(bodyOf(get)) : bodyOf(get), bodyOf(plain));
}

// The start page was cached before the post and still shows the new count;
// the forum posted to has a new tag, another forum keeps its own.
void TestServerPages::postChangesOnlyItsForumAndTheStartPage()
{
    create("Ale");
    const quint16 port = m_fixture->server().httpPort();
    const auto get = [port](const QByteArray &path, const QByteArray &tag = {}) {
        return answerTo(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nIf-None-Match: "
                                  + (tag.isEmpty() ? QByteArray("\"none\"") : tag) + "\r\n\r\n");
    };
    QVERIFY(get("/dn.htm").contains("Ale.htm\">Ale</a> (0 messages)"));
    const QByteArray aleTag = header(get("/tav/Ale.htm"), "ETag");
    const QByteArray welcomeTag = header(get("/tav/Welcome.htm"), "ETag");
    QVERIFY(get("/tav/Ale.htm", aleTag).startsWith("HTTP/1.1 304 "));

    WireClient post(m_fixture->server().postPort());
    post.send("Ale*<b>T</b>*fresh", WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);

    QVERIFY(get("/dn.htm").contains("Ale.htm\">Ale</a> (1 message)"));
    const QByteArray ale = get("/tav/Ale.htm", aleTag);
    QVERIFY2(ale.startsWith("HTTP/1.1 200 ") && ale.contains("fresh"), ale.constData());
    QVERIFY(header(ale, "ETag") != aleTag);
    QVERIFY(get("/tav/Welcome.htm", welcomeTag).startsWith("HTTP/1.1 304 "));
}

void TestServerPages::floodOfSpellingsLeavesReadersServed_data()
{
    QTest::addColumn<QByteArrayList>("forums"); // created first, not read
    QTest::addColumn<QByteArray>("postTo"); // a forum posted to then, if any
    QTest::addColumn<QByteArrayList>("targets"); // sent at once, a connection each
    QTest::addColumn<QList<int>>("statuses"); // their answers, in any order
    QTest::addColumn<double>("builds");
    const auto many = [](const char *form, int count, int from = 1) {
        QByteArrayList targets;
        for (int i = from; i < from + count; ++i)
            targets << QByteArray(form).replace("N", QByteArray::number(i));
        return targets;
    };
    const QList<int> found(80, 200);
    const QList<int> notFound(80, 404);
    // The cache keyed by the target as sent: each one a build and an entry.
    QTest::newRow("query junk") << QByteArrayList() << QByteArray() << many("/tav/Welcome.htm?hog=N", 80)
                                << found << 0.0;
    QTest::newRow("percent-encoded name")
        << QByteArrayList() << QByteArray() << many("/tav/%57elcome.htm?N", 40) + many("/tav/We%6ccome.htm?x=N", 40)
        << found << 0.0;
    QTest::newRow("first page by number") << QByteArrayList() << QByteArray() << many("/tav/Welcome.htm?page=1&N", 80)
                                          << found << 0.0;
    // No count kept: every page number past the last is built.
    QTest::newRow("past the last page") << QByteArrayList() << QByteArray() << many("/tav/Welcome.htm?page=N", 80, 2)
                                        << notFound << 0.0;
    // The count learned per page number instead of from the forum's first page.
    QTest::newRow("past the last of a forum not read yet")
        << QByteArrayList{"Fresh"} << QByteArray("Fresh") << many("/tav/Fresh.htm?page=N", 80, 2) << notFound << 1.0;
    // Unknown forums looked up in (and built from) the store.
    QTest::newRow("unknown forums") << QByteArrayList() << QByteArray() << many("/tav/NoSuchN.htm", 80)
                                    << notFound << 0.0;
    // No share per address: one peer takes every build.
    QList<int> shared(PageServer::maxBuildingPerRequester, 200);
    shared += QList<int>(4, 503);
    QTest::newRow("more pages than one address's share")
        << many("ForumN", PageServer::maxBuildingPerRequester + 4) << QByteArray()
        << many("/tav/ForumN.htm", PageServer::maxBuildingPerRequester + 4) << shared
        << double(PageServer::maxBuildingPerRequester);
}

// Requests that all arrive before the server gets to run: a page read before
// stays a hit (no build) and its reader is answered 200 throughout.
void TestServerPages::floodOfSpellingsLeavesReadersServed()
{
    QFETCH(QByteArrayList, forums);
    QFETCH(QByteArray, postTo);
    QFETCH(QByteArrayList, targets);
    QFETCH(QList<int>, statuses);
    QFETCH(double, builds);
    for (const QByteArray &forum : std::as_const(forums))
        create(forum);
    // Read until it is a hit: the store's first look at the database may
    // count as a change.
    bool hit = false;
    for (int round = 0; round < 20 && !hit; ++round) {
        const double built = pageCount("misses");
        QCOMPARE(fetch("/tav/Welcome.htm").count("<table"), 1);
        hit = pageCount("misses") == built;
    }
    QVERIFY(hit);
    if (!postTo.isEmpty()) { // its count, known from the start page, goes stale
        WireClient post(m_fixture->server().postPort());
        post.send(postTo + "*<b>T</b>*one", WireClient::After::CloseWhenSent);
        WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    }
    const double builtBefore = pageCount("misses");
    const double hitsBefore = pageCount("hits");
    const quint16 port = m_fixture->server().httpPort();
    std::vector<int> sockets;
    for (const QByteArray &target : std::as_const(targets)) {
        sockets.push_back(kit::connectLoopback(port));
        const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
        QCOMPARE(::send(sockets.back(), request.constData(), size_t(request.size()), 0),
                 ssize_t(request.size()));
    }
    const int reader = kit::connectLoopback(port);
    const QByteArray read = "GET /tav/Welcome.htm HTTP/1.1\r\nHost: x\r\n\r\n";
    QCOMPARE(::send(reader, read.constData(), size_t(read.size()), 0), ssize_t(read.size()));
    QList<int> answered;
    for (int fd : sockets) {
        QByteArray buffer;
        answered << readAnswer(fd, &buffer).mid(9, 3).toInt();
        ::close(fd);
    }
    QByteArray buffer;
    const QByteArray page = readAnswer(reader, &buffer);
    ::close(reader);
    QVERIFY2(page.startsWith("HTTP/1.1 200 ") && page.contains("<h2>Welcome</h2>"), page.constData());
    std::sort(answered.begin(), answered.end());
    QCOMPARE(answered, statuses);
    QCOMPARE(pageCount("misses") - builtBefore, builds);
    QVERIFY(pageCount("hits") > hitsBefore);
}

// Past its bound the cache drops the page read longest ago, not every page
// (and not the one put in longest ago).
void TestServerPages::cacheDropsTheLeastRecentlyRead()
{
    const pages::Page page(200, QByteArray(1000, 'x'));
    PageCache cache(3000, 1000);
    const PageCache::Key a{1, 1}, b{2, 1}, c{3, 1}, d{0, 1};
    for (const PageCache::Key &key : {a, b, c})
        cache.keep(key, 5, page);
    QVERIFY(cache.find(a, 5)); // read: now the most recent
    QVERIFY(!cache.find(a, 6)); // built before a change it shows
    cache.keep(d, 5, page);
    QCOMPARE(cache.size(), 3);
    QVERIFY(cache.find(a, 5) && cache.find(c, 5) && cache.find(d, 5));
    QVERIFY(!cache.find(b, 5));
    cache.keep(b, 5, pages::Page(200, QByteArray(1001, 'x'))); // over the bound of one page
    QVERIFY(!cache.find(b, 0));
    QCOMPARE(cache.bytes(), 3000);
}

// A page large enough to go out from its file, to a reader whose buffers
// take a little at a time: every answer whole, in order, plain and gzipped.
void TestServerPages::largePageReachesASlowReaderWhole()
{
    create("Big");
    {
        ForumStore store; // a second connection to the live database
        QVERIFY(store.open(m_fixture->database(), nullptr));
        const qint64 id = *store.forumId("Big");
        for (int i = 1; i <= 100; ++i)
            QVERIFY(addMessage(store, id, "<b>T" + QByteArray::number(i) + "</b>",
                               QByteArray::number(i).repeated(500)));
    }
    const QByteArray page = fetch("/tav/Big.htm");
    QVERIFY(page.size() > 64 * 1024);
    const int fd = kit::connectLoopback(m_fixture->server().httpPort(), 4096);
    QVERIFY(fd >= 0);
    QSocketNotifier readable(fd, QSocketNotifier::Read); // wakes the waits as answers arrive
    const QByteArray plain = "GET /tav/Big.htm HTTP/1.1\r\nHost: x\r\n\r\n";
    const QByteArray packed = "GET /tav/Big.htm HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n";
    // More than the system's buffers hold: sends stop part-way and resume.
    constexpr int rounds = 48;
    const QByteArray requests = (plain + packed).repeated(rounds)
        + "HEAD /tav/Big.htm HTTP/1.1\r\nHost: x\r\n\r\n";
    QCOMPARE(::send(fd, requests.constData(), size_t(requests.size()), 0), ssize_t(requests.size()));
    QByteArray buffer;
    for (int round = 0; round < rounds; ++round) {
        QCOMPARE(bodyOf(readAnswer(fd, &buffer)), page);
        QCOMPARE(gunzip(bodyOf(readAnswer(fd, &buffer))), page);
    }
    const QByteArray head = readAnswer(fd, &buffer, true);
    QCOMPARE(header(head, "Content-Length").toLongLong(), page.size());
    QVERIFY(buffer.isEmpty()); // nothing after the headers of HEAD
    ::close(fd);
}

// Two servers sharing PostgreSQL: a post through one is on the other's page,
// with a new tag, heard through the announcement alone (the other server
// never counts the commits).
void TestServerPages::otherServersPostChangesTheTag()
{
    if (m_fixture->database().engine != DatabaseUrl::Engine::PostgreSQL)
        QSKIP("only servers sharing PostgreSQL hear of each other's posts");
    ServerConfig config = ServerFixture::quickConfig();
    config.changePollMs = 0; // announcements alone
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    config.address = QHostAddress(QHostAddress::LocalHost);
    const QTemporaryDir otherData; // each server keeps its own spool
    config.dataDir = otherData.path();
    config.database = m_fixture->database();
    config.changePollMs = 0;
    ForumServer other(config);
    QString error;
    QVERIFY2(other.start(&error), qPrintable(error));
    const auto tagOn = [](quint16 port) {
        return header(answerTo(port, "GET /tav/Welcome.htm HTTP/1.1\r\nHost: x\r\n\r\n"), "ETag");
    };
    const QByteArray before = tagOn(other.httpPort());
    QVERIFY(!before.isEmpty());
    for (int round = 0; round < 3; ++round) {
        WireClient post(m_fixture->server().postPort());
        post.send("Welcome*<b>T</b>*round " + QByteArray::number(round),
                  WireClient::After::CloseWhenSent);
        WAIT_COMPARE(m_fixture->logLinesContaining("stored"), round + 1);
        const QByteArray stored = tagOn(m_fixture->server().httpPort());
        QVERIFY(waitUntil([&] { return tagOn(other.httpPort()) == stored; }, 10000));
        // Its own announcement, heard by now, builds its page no second time.
        const double built = pageCount("misses");
        QCOMPARE(tagOn(m_fixture->server().httpPort()), stored);
        QCOMPARE(pageCount("misses"), built);
    }
}

// The links of a search's results ("Lamp.htm#m1"), newest first.
QStringList TestServerPages::found(const QString &words, int *status)
{
    const QByteArray page =
        fetch(QStringLiteral("/search?q=") + QString::fromLatin1(QUrl::toPercentEncoding(words)),
              status);
    QStringList links;
    static const QRegularExpression link(QStringLiteral("<p><a href=\"/tav/([^\"]+)\">"));
    for (const QRegularExpressionMatch &match : link.globalMatch(QString::fromUtf8(page)))
        links << match.captured(1);
    return links;
}

// Words are matched as words whatever a reader types around them, case and
// accents aside, the last also as a prefix; markup and hidden messages are
// not found; a commit is found at once; a link leads to the message's page
// (hidden ones not counted above it). The same on both engines.
void TestServerPages::searchFindsVisibleWordsOnly()
{
    create("Lamp");
    ForumStore store;
    QVERIFY(store.open(m_fixture->database(), nullptr));
    const qint64 id = *store.forumId("Lamp");
    QVERIFY(addMessage(store, id, "<b>Lantern</b> night", "A lantern-light near the old street"));
    QVERIFY(addMessage(store, id, "\xc3\x9cn\xc3\xaf" "code",
                       "About UNICODE, <a href=\"http://example.org/secretword\">a link</a> "
                       "and <i>it</i>alic"));
    QVERIFY(addMessage(store, id, "Gone", "lantern hiddenword"));
    QList<NewMessage> fillers;
    for (int i = 0; i < 97; ++i)
        fillers.append({id, "F", "filler", "F", "filler", 0});
    QVERIFY(store.addMessages(fillers));
    // Newer than all of those, more than the newest messages a search reads one by one.
    create("Pad");
    const qint64 pad = *store.forumId("Pad");
    QList<NewMessage> pads(1100, NewMessage{pad, "P", "pad", "P", "pad", 0});
    QVERIFY(store.addMessages(pads));
    QCOMPARE(found("hiddenword"), QStringList{"Lamp.htm#m3"});
    QCOMPARE(found("lantern"), QStringList({"Lamp.htm#m3", "Lamp.htm#m1"}));
    QString error;
    QCOMPARE(moderation::setHidden(store, "Lamp", 3, true, "tester", &error),
             moderation::Result::Changed);
    // The newest filler: hidden among the newest, where a common word's page is found.
    QCOMPARE(moderation::setHidden(store, "Lamp", 100, true, "tester", &error),
             moderation::Result::Changed);
    // Within the change poll on SQLite, at the commit on PostgreSQL.
    QVERIFY(waitUntil([&] { return found("hiddenword").isEmpty(); }, 3000));

    WireClient post(m_fixture->server().postPort());
    post.send("Lamp*Posted*a lantern for the posted TEST", WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    QSqlQuery words(store.database());
    QVERIFY(words.exec(QStringLiteral("SELECT words FROM messages ORDER BY id DESC LIMIT 1")));
    QVERIFY(words.next());
    QCOMPARE(words.value(0).toString(), QStringLiteral("posted a lantern for the posted test"));
    const QStringList lanterns{"Lamp.htm#m101", "Lamp.htm#m1"};
    const QList<std::pair<QString, QStringList>> rows{
        {"lantern", lanterns},
        {"LANTERN", lanterns},
        {"lant", lanterns},
        {"\"lantern\" *", lanterns},
        {"lantern:* | !x", {}},
        {"-lantern*", lanterns},
        {"lantern NEAR", {"Lamp.htm#m1"}},
        {"NEAR(lantern", {"Lamp.htm#m1"}},
        {"lantern -light", {"Lamp.htm#m1"}},
        {"lantern OR posted", {}},
        {"unicode", {"Lamp.htm#m2"}},
        {"\xc3\x9cN\xc3\x8f" "CODE", {"Lamp.htm#m2"}},
        {"uni\xcc\x81" "code italic", {"Lamp.htm#m2"}},
        {"secretword", {}},
        {"hiddenword", {}},
        {"la", {}},
        {"fillers", {}},
        {"fi", {}},
    };
    for (const auto &[words, links] : rows)
        QVERIFY2(found(words) == links, qPrintable(words));
    // Found in the newest ids and in the oldest: each counted once.
    QVERIFY(fetch("/search?q=lantern").contains("<p>2 messages hold"));

    int status = 0;
    const QByteArray last = fetch("/search?q=filler&page=99", &status);
    QCOMPARE(status, 200);
    QCOMPARE(last.count("<p><a href=\"/tav/Lamp.htm"), 96 - 4 * 20);
    QVERIFY(last.contains("96 messages hold these words."));
    QVERIFY(last.contains("<a href=\"/search?q=filler&amp;page=4\">Newer results</a>"));
    QVERIFY(!last.contains("Older results"));
    // Counted only as far as the page asked for: the first says more follow.
    const QByteArray first = fetch("/search?q=filler");
    QVERIFY(first.contains("More than 20 messages hold these words."));
    QVERIFY(first.contains("<a href=\"/search?q=filler&amp;page=2\">Older results</a>"));
    QCOMPARE(found("filler").mid(0, 2), QStringList({"Lamp.htm#m99", "Lamp.htm#m98"}));
    QVERIFY(fetch("/search?q=posted+test").contains("a lantern for the <b>posted</b> <b>TEST</b>"));
    QVERIFY(fetch("/search?q=zebra").contains("<p>No message holds all of these words.</p>"));
}

// Too many words or bytes are refused before any search; an address past
// its share gets a sentence; answers carry validators and gzip like pages.
void TestServerPages::searchIsBoundedAndLimited()
{
    const quint16 port = m_fixture->server().httpPort();
    const auto statusOf = [port](const QByteArray &target, const QByteArray &headers = {}) {
        return answerTo(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n")
            .mid(9, 3)
            .toInt();
    };
    QCOMPARE(statusOf("/search?q=a+b+c+d+e+f+g+h+i+j"), 200);
    QCOMPARE(statusOf("/search?q=a+b+c+d+e+f+g+h+i+j+k"), 400);
    QCOMPARE(statusOf("/search?q=" + QByteArray(200, 'a')), 200);
    QCOMPARE(statusOf("/search?q=" + QByteArray(201, 'a')), 414);
    QCOMPARE(statusOf("/search?q=" + QByteArray(100, 'a') + "%C3%A9"), 200);
    const QByteArray plain = answerTo(port, "GET /search?q=welcome HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(plain.contains("<a href=\"/tav/Welcome.htm#m1\">Welcome</a>"));
    QCOMPARE(statusOf("/search?q=Welcome", "If-None-Match: " + header(plain, "ETag") + "\r\n"), 304);
    const QByteArray packed = answerTo(
        port, "GET /search?q=welcome HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n");
    QCOMPARE(gunzip(bodyOf(packed)), bodyOf(plain));

    // Exactly one page of results: counted whole, and nothing older.
    // Fault: "more follow" when as many were found as a page holds (> made >=, or < made <=).
    create("Score");
    ForumStore store;
    QVERIFY(store.open(m_fixture->database(), nullptr));
    const NewMessage twenty{*store.forumId("Score"), "S", "twenty", "S", "twenty", 0};
    QVERIFY(store.addMessages(QList<NewMessage>(pages::resultsPerPage, twenty)));
    const QByteArray one = fetch("/search?q=twenty");
    QCOMPARE(one.count("<p><a href=\"/tav/Score.htm"), pages::resultsPerPage);
    QVERIFY(one.contains("<p>20 messages hold these words.</p>") && !one.contains("Older results"));

    m_fixture.reset();
    ServerConfig config = ServerFixture::quickConfig();
    config.searchLimit = 2;
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    int status = 0;
    fetch("/search?q=a", &status);
    QCOMPARE(status, 200);
    fetch("/search?q=a", &status);
    QCOMPARE(status, 200);
    const QByteArray limited = fetch("/search?q=b", &status);
    QVERIFY2(status == 429, limited.constData());
    QVERIFY(limited.contains("Too many searches from your address just now."));
    QCOMPARE(fetch("/tav/Welcome.htm", &status).isEmpty(), false);
    QCOMPARE(status, 200);
}
