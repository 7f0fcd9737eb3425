// The HTTP port's pages, fetched as a browser or the client's view would.

#include "serverfixture.h"
#include "waits.h"
#include "wireclient.h"

#include "server/forumstore.h"
#include "server/pages.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A blocking loopback client: what it sends is on its way before the server
// gets to run at all.
int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
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
    void pageRightAfterAPostHoldsIt();

private:
    QByteArray fetch(const QString &path, int *status = nullptr);
    void create(const QByteArray &name);
    std::unique_ptr<ServerFixture> m_fixture;
};

void TestServerPages::init()
{
    if (ServerFixture::databaseMissing())
        QSKIP("PostgreSQL is not installed");
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
    {
        ForumStore store; // a second connection to the live database
        QVERIFY(store.open(m_fixture->database(), nullptr));
        QCOMPARE(store.createForum("Busy"), ForumStore::CreateResult::Created);
        const qint64 id = *store.forumId("Busy");
        for (int i = 1; i <= 150; ++i)
            QVERIFY(store.addMessage(id, "<b>T" + QByteArray::number(i) + "</b>", "m"));
    }
    const QByteArray first = fetch("/tav/Busy.htm");
    QCOMPARE(first.count("<table"), 100);
    QVERIFY(first.indexOf("<b>T150</b>") < first.indexOf("<b>T51</b>"));
    QVERIFY(!first.contains("<b>T50</b>"));
    QVERIFY(first.contains("href=\"/tav/Busy.htm?page=2\">Older"));

    const QByteArray second = fetch("/tav/Busy.htm?page=2");
    QCOMPARE(second.count("<table"), 50);
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

// The client asks for the forum's page the moment its post has gone out. The
// server may see the page request before it has noticed the post's end; the
// page must hold the post all the same.
void TestServerPages::pageRightAfterAPostHoldsIt()
{
    create("Ale");
    for (int round = 0; round < 20; ++round) {
        const QByteArray body = "round " + QByteArray::number(round);
        const int post = connectTo(m_fixture->server().postPort());
        QVERIFY(post >= 0);
        const QByteArray request = "Ale*<b>T</b>*" + body;
        QCOMPARE(::send(post, request.constData(), size_t(request.size()), 0), ssize_t(request.size()));
        ::close(post);
        const int page = connectTo(m_fixture->server().httpPort());
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
        QVERIFY2(answer.contains(body), qPrintable(QStringLiteral("round %1").arg(round)));
    }
}

QTEST_GUILESS_MAIN(TestServerPages)
#include "tst_serverpages.moc"
