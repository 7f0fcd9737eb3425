// The three request ports over real sockets against an in-process server.

#include "serverfixture.h"
#include "server/base/servermetrics.h"
#include "tests/missingtool.h"
#include "waits.h"
#include "wireclient.h"

#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One whole exchange; the caller waits for closedByServer() or sent().
WireClient *request(QObject *owner, quint16 port, const QByteArray &bytes,
                    WireClient::After after = WireClient::After::WaitForReply)
{
    auto *client = new WireClient(port, owner);
    client->send(bytes, after);
    return client;
}

// What a trusted proxy sends first for sender N (10.0.0.N): version 1 or 2.
QByteArray proxyHeader(int version, int sender)
{
    if (version == 1)
        return "PROXY TCP4 10.0.0." + QByteArray::number(sender) + " 127.0.0.1 40000 8476\r\n";
    const char block[] = {10, 0, 0, char(sender), 127, 0, 0, 1, char(0x9c), 0x40, 0x21, 0x1c};
    return QByteArray("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16) + QByteArray(block, 12);
}

// True if the server ends the connection with a reset (an abortive close).
bool endsInReset(const QHostAddress &from, quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from.toIPv4Address());
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ssize_t got = 0;
    int error = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0
        && ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) == 0) {
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        waitUntil([&] {
            char byte;
            got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
            error = errno;
            return got >= 0 || (error != EAGAIN && error != EWOULDBLOCK);
        });
    }
    ::close(fd);
    return got < 0 && error == ECONNRESET;
}
// A sender as the client is: connects, sends, ends its sending half, then
// waits for the server's end. 0: closed in order (the post is kept);
// otherwise the error (ECONNRESET: refused); -1: still open.
class RawPost
{
public:
    RawPost(quint16 port, const QByteArray &request, bool ends = true) // else: finish()
        : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Loopback: connect and a small send complete at once.
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ends)
            finish(request);
        else
            ::send(m_fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    }
    ~RawPost() { ::close(m_fd); }
    void finish(const QByteArray &rest) // sends the rest and ends the sending
    {
        if (::send(m_fd, rest.constData(), size_t(rest.size()), MSG_NOSIGNAL)
            == ssize_t(rest.size()))
            ::shutdown(m_fd, SHUT_WR);
    }
    int end()
    {
        if (m_end < 0) {
            char byte = 0;
            const ssize_t got = ::recv(m_fd, &byte, 1, MSG_DONTWAIT);
            if (got == 0)
                m_end = 0;
            else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                m_end = errno;
        }
        return m_end;
    }

private:
    int m_fd;
    int m_end = -1;
};

} // namespace

class TestServerWire : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void exchangesAreByteExact();
    void createValidation_data();
    void createValidation();
    void createNameEndsWithTheClientsClose();
    void limitsCountPerAddress_data();
    void limitsCountPerAddress();
    void halfClosedSenderGetsItsReply_data();
    void halfClosedSenderGetsItsReply();
    void listWithoutRequestIsClosed();
    void postIsClosedInOrderOnlyWhenKept_data();
    void postIsClosedInOrderOnlyWhenKept();
    void postSizeLimit_data();
    void postSizeLimit();
    void requestDeadlineEndsAtTheLastByte_data();
    void requestDeadlineEndsAtTheLastByte();
    void persistsAcrossRestart();
    void listAndPagesAnswerWhileTheDatabaseStalls();
    void lostDatabaseRefusesUntilBack_data();
    void lostDatabaseRefusesUntilBack();
    void postThatMeetsTwoOutagesIsStored();
    void forumsHeardOutOfOrderListAsCreated();
    void lockedMessagesDelayPostsButLoseNone();
    void removedDatabaseFileIsAnOutage();

private:
    QByteArray list();
    int status(const QString &path);
    std::unique_ptr<ServerFixture> m_fixture;
};

int TestServerWire::status(const QString &path)
{
    QNetworkReply *reply = m_fixture->get(path);
    if (!waitUntil([reply] { return reply->isFinished(); }))
        return 0;
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

void TestServerWire::init()
{
    if (ServerFixture::databaseMissing())
        SKIP_FOR_MISSING("PostgreSQL is not installed");
    m_fixture = std::make_unique<ServerFixture>();
    QVERIFY(m_fixture->start());
}

void TestServerWire::cleanup()
{
    m_fixture.reset();
}

QByteArray TestServerWire::list()
{
    WireClient client(m_fixture->server().listPort());
    client.send("GETLIST");
    if (!waitUntil([&] { return client.closedByServer(); }))
        return "<no reply>";
    return client.reply();
}

void TestServerWire::exchangesAreByteExact()
{
    ForumServer &server = m_fixture->server();
    QCOMPARE(list(), QByteArray("Welcome"));

    const QByteArray name = QStringLiteral("Café ☕").toUtf8();
    auto *create = request(this, server.createPort(), name);
    WAIT_VERIFY(create->closedByServer());
    QCOMPARE(create->reply(), QByteArray("CREATED"));
    auto *again = request(this, server.createPort(), name);
    WAIT_VERIFY(again->closedByServer());
    QCOMPARE(again->reply(), QByteArray("EXISTS"));
    // fault: names readers cannot tell apart (by case or end spaces) stand side by side
    auto *alike = request(this, server.createPort(), QStringLiteral(" CAFÉ ☕ ").toUtf8());
    WAIT_VERIFY(alike->closedByServer());
    QCOMPARE(alike->reply(), QByteArray("EXISTS"));

    QCOMPARE(list(), QByteArray("Welcome*") + name);

    auto *post = request(this, server.postPort(), name + "*<b>Title</b>*Body",
                         WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    QVERIFY(post->reply().isEmpty()); // a post gets no answer
}

void TestServerWire::createValidation_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("accepted");
    for (const char c : QByteArrayView("\"|><?:\\/*"))
        QTest::addRow("forbidden %c", c) << QByteArray("x") + c + "y" << false;
    QTest::newRow("40 characters") << QByteArray(40, 'n') << true;
    QTest::newRow("41 characters") << QByteArray(41, 'n') << false;
    QTest::newRow("40 accented") << QString(40, u'ü').toUtf8() << true;
    QTest::newRow("tab") << QByteArray("a\tb") << false;
    QTest::newRow("line break typed by a terminal") << QByteArray("name\r\n") << false;
    QTest::newRow("escape") << QByteArray("a\x1b[2Jb") << false;
    QTest::newRow("C1 control") << QByteArray("a\xc2\x9b") << false;
    QTest::newRow("not UTF-8") << QByteArray("\xff\xfe") << false;
    QTest::newRow("right-to-left override") << QByteArray("abc\xe2\x80\xaetxt.exe") << false;
    QTest::newRow("zero-width space") << QByteArray("Wel\xe2\x80\x8b" "come") << false;
    QTest::newRow("zero-width joiner") << QByteArray("a\xe2\x80\x8d" "b") << false;
    QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbfWelcome") << false;
    QTest::newRow("more than 256 bytes") << QByteArray(300, 'n') << false;
    QTest::newRow("dot dot") << QByteArray("..") << true;
    QTest::newRow("dot dot slash") << QByteArray("../x") << false;
    QTest::newRow("encoded slash") << QByteArray("a%2fb") << true;
    QTest::newRow("blanks") << QByteArray("  ") << true;
    // Only from a trusted proxy is it a header; from anyone else, the name's own bytes.
    QTest::newRow("PROXY header from an untrusted address")
        << QByteArray("PROXY TCP4 10.0.0.5 127.0.0.1 1 2\r\nName") << false;
}

void TestServerWire::createValidation()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, accepted);
    auto *create = request(this, m_fixture->server().createPort(), name);
    WAIT_VERIFY(create->closedByServer());
    QCOMPARE(create->reply(), accepted ? QByteArray("CREATED") : QByteArray());
    QCOMPARE(list(), accepted ? "Welcome*" + name : QByteArray("Welcome"));
    if (!accepted)
        QCOMPARE(m_fixture->logLinesContaining("create refused"), 1);
}

void TestServerWire::createNameEndsWithTheClientsClose()
{
    auto *create = request(this, m_fixture->server().createPort(), "Closer",
                           WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("\"Closer\": CREATED"), 1);
    QVERIFY(!create->closedByServer());
    QCOMPARE(list(), QByteArray("Welcome*Closer"));
}

void TestServerWire::limitsCountPerAddress_data()
{
    QTest::addColumn<bool>("create"); // else posts
    QTest::addColumn<int>("proxy");   // 0: senders connect themselves; 1, 2: the header's version
    QTest::newRow("creates") << true << 0;
    QTest::newRow("posts") << false << 0;
    QTest::newRow("creates through a proxy, v1") << true << 1;
    QTest::newRow("posts through a proxy, v2") << false << 2;
}

// Two senders, a limit of two each: the first sender's third request is
// refused, the second sender's first still goes through. Through a trusted
// proxy both connect from one address and the header tells them apart.
void TestServerWire::limitsCountPerAddress()
{
    QFETCH(bool, create);
    QFETCH(int, proxy);
    ServerConfig config = ServerFixture::quickConfig();
    config.createLimit = config.postLimit = 2;
    if (proxy)
        config.trustedProxies = {QHostAddress(QHostAddress::LocalHost)};
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    const quint16 port = create ? m_fixture->server().createPort() : m_fixture->server().postPort();
    const auto from = [&](int sender) {
        return QHostAddress(proxy ? QStringLiteral("127.0.0.1")
                                  : QStringLiteral("127.0.0.%1").arg(sender));
    };
    const auto send = [&](int sender, const QByteArray &request) {
        auto *client = new WireClient(port, this);
        client->bindTo(from(sender));
        client->send((proxy ? proxyHeader(proxy, sender) : QByteArray()) + request,
                     create ? WireClient::After::WaitForReply : WireClient::After::CloseWhenSent);
        return client;
    };
    const QString first = proxy ? QStringLiteral("10.0.0.5:") : QStringLiteral("127.0.0.5:");
    const QString second = proxy ? QStringLiteral("10.0.0.6:") : QStringLiteral("127.0.0.6:");
    const QByteArray third = create ? QByteArray("A3") : QByteArray("Welcome*<b>3</b>*b");
    if (create) {
        for (const QByteArray name : {"A1", "A2"}) {
            WireClient *client = send(5, name);
            WAIT_VERIFY(client->closedByServer());
            QCOMPARE(client->reply(), QByteArray("CREATED"));
        }
        WireClient *over = send(5, third);
        WAIT_VERIFY(over->closedByServer());
        QCOMPARE(over->reply(), QByteArray("LIMITED"));
        WireClient *other = send(6, "B1");
        WAIT_VERIFY(other->closedByServer());
        QCOMPARE(other->reply(), QByteArray("CREATED"));
        QCOMPARE(m_fixture->logLinesContaining(QStringLiteral("create limited ") + first), 1);
    } else {
        for (int i = 1; i <= 2; ++i) {
            send(5, "Welcome*<b>" + QByteArray::number(i) + "</b>*b");
            WAIT_COMPARE(m_fixture->logLinesContaining(": stored"), i);
        }
        // Reset, not ended in order: the client keeps its message.
        QVERIFY(endsInReset(from(5), port, (proxy ? proxyHeader(proxy, 5) : QByteArray()) + third));
        QCOMPARE(m_fixture->logLinesContaining(QStringLiteral("post limited ") + first), 1);
        send(6, "Welcome*<b>B</b>*b");
        WAIT_COMPARE(m_fixture->logLinesContaining(": stored"), 3);
    }
    QCOMPARE(m_fixture->logLinesContaining(second), 1);
    QCOMPARE(m_fixture->logLinesContaining(QStringLiteral("limited")), 1);
    if (proxy) {
        // From the trusted address, a request without its header is cut, unanswered.
        WireClient bare(m_fixture->server().listPort());
        bare.send("GETLIST");
        WAIT_VERIFY(bare.closedByServer());
        QCOMPARE(bare.reply(), QByteArray());
        QCOMPARE(m_fixture->logLinesContaining(QStringLiteral("no valid PROXY header")), 1);
    }
}

void TestServerWire::halfClosedSenderGetsItsReply_data()
{
    QTest::addColumn<bool>("create");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("list") << false << QByteArray("GETLIST") << QByteArray("Welcome");
    QTest::newRow("create") << true << QByteArray("Half") << QByteArray("CREATED");
    QTest::newRow("create existing") << true << QByteArray("Welcome") << QByteArray("EXISTS");
}

// As `nc -N` does: the request, then the end of the sending half only.
void TestServerWire::halfClosedSenderGetsItsReply()
{
    QFETCH(bool, create);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    ForumServer &server = m_fixture->server();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, create ? server.createPort() : server.listPort());
    WAIT_VERIFY(socket.state() == QAbstractSocket::ConnectedState);
    socket.write(request);
    WAIT_VERIFY(socket.bytesToWrite() == 0);
    QCOMPARE(::shutdown(int(socket.socketDescriptor()), SHUT_WR), 0);
    QByteArray got;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { got += socket.readAll(); });
    WAIT_VERIFY(socket.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(got, reply);
}

void TestServerWire::listWithoutRequestIsClosed()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.listWaitMs = 200;
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    auto *partial = request(this, m_fixture->server().listPort(), "GETL");
    auto *wrong = request(this, m_fixture->server().listPort(), "LIST");
    WAIT_VERIFY(partial->closedByServer());
    WAIT_VERIFY(wrong->closedByServer());
    QCOMPARE(partial->reply(), QByteArray());
    QCOMPARE(wrong->reply(), QByteArray());
    QCOMPARE(m_fixture->logLinesContaining("list refused"), 2);
}

void TestServerWire::postIsClosedInOrderOnlyWhenKept_data()
{
    QTest::addColumn<QByteArray>("post");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("logged");
    const QByteArray nul("\0", 1);
    QTest::newRow("kept") << QByteArray("Welcome*<b>T</b>*body") << 0 << "\"Welcome\": stored";
    QTest::newRow("unknown forum") << QByteArray("Nowhere*<b>T</b>*body") << int(ECONNRESET)
                                   << "unknown forum \"Nowhere\"";
    QTest::newRow("no stars") << QByteArray("Welcome but no stars") << int(ECONNRESET)
                              << "fewer than two \"*\"";
    QTest::newRow("one star") << QByteArray("Welcome*title only") << int(ECONNRESET)
                              << "fewer than two \"*\"";
    // Fault: U+0000 passed on; a PostgreSQL text cuts it off, and the post is lost.
    QTest::newRow("U+0000 in the title") << "Welcome*<b>T" + nul + "</b>*body" << 0
                                         << "\"Welcome\": stored";
    // Formatting left open before a thousand paragraphs: published as escaped text.
    QTest::newRow("U+0000 in a body over the markup budget")
        << "Welcome*<b>T</b>*" + QByteArray("<b>").repeated(100) + QByteArray("x<p>").repeated(1000)
            + nul << 0 << "kept as escaped text";
    QTest::newRow("title not UTF-8") << QByteArray("Welcome*<b>T\xC3</b>*body")
                                     << int(ECONNRESET) << "not UTF-8";
    QTest::newRow("body with an overlong form") << QByteArray("Welcome*<b>T</b>*\xE0\x80\xAF")
                                                << int(ECONNRESET) << "not UTF-8";
    QTest::newRow("title of 2048 bytes") << "Welcome*<b>" + QByteArray(2041, 't') + "</b>*body"
                                         << 0 << "\"Welcome\": stored";
    QTest::newRow("title over 2048 bytes") << "Welcome*<b>" + QByteArray(2042, 't') + "</b>*body"
                                           << int(ECONNRESET) << "over 2048";
}

// A refused post ends with a reset, never the orderly close that tells the
// client its message is kept; a kept one closes in order once on the disk.
void TestServerWire::postIsClosedInOrderOnlyWhenKept()
{
    QFETCH(QByteArray, post);
    QFETCH(int, end);
    QFETCH(QString, logged);
    RawPost sender(m_fixture->server().postPort(), post);
    WAIT_VERIFY(sender.end() >= 0);
    QCOMPARE(sender.end(), end);
    WAIT_COMPARE(m_fixture->logLinesContaining(logged), 1);
    QCOMPARE(m_fixture->logLinesContaining("post refused"), end == 0 ? 0 : 1);

    QNetworkReply *start = m_fixture->get("/dn.htm");
    WAIT_VERIFY(start->isFinished());
    const QByteArray page = start->readAll();
    QVERIFY(page.contains(end == 0 ? "(2 messages)" : "(1 message)"));
    QVERIFY(!page.contains("Nowhere"));
    QNetworkReply *forum = m_fixture->get("/tav/Welcome.htm");
    WAIT_VERIFY(forum->isFinished());
    QCOMPARE(forum->readAll().contains("\xEF\xBF\xBD"), end == 0 && post.contains('\0')); // U+FFFD
}

void TestServerWire::postSizeLimit_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("stored");
    QTest::newRow("64 KiB") << qsizetype(64 * 1024) << true;
    QTest::newRow("one byte more") << qsizetype(64 * 1024 + 1) << false;
    QTest::newRow("1 MiB") << qsizetype(1024 * 1024) << false;
}

void TestServerWire::postSizeLimit()
{
    QFETCH(qsizetype, size);
    QFETCH(bool, stored);
    QByteArray post = "Welcome*<b>Big</b>*";
    post += QByteArray(size - post.size(), 'x');
    auto *client = request(this, m_fixture->server().postPort(), post,
                           WireClient::After::CloseWhenSent);
    if (stored) {
        WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    } else {
        WAIT_COMPARE(m_fixture->logLinesContaining("post dropped"), 1);
        WAIT_VERIFY(!client->isOpen());
    }
    QNetworkReply *start = m_fixture->get("/dn.htm");
    WAIT_VERIFY(start->isFinished());
    QVERIFY(start->readAll().contains(stored ? "(2 messages)" : "(1 message)"));
}

void TestServerWire::requestDeadlineEndsAtTheLastByte_data()
{
    QTest::addColumn<int>("requestMs");
    QTest::addColumn<int>("restAfterMs"); // -1: the rest never comes
    QTest::addColumn<int>("flushDelayMs");
    QTest::newRow("silent sender") << 200 << -1 << 0;
    // Fault: the deadline counted on once the post is whole (reset, then stored).
    QTest::newRow("whole in time, on the disk after the deadline") << 4000 << 300 << 4000;
}

// Two fields in, then silence: dropped, never stored. Whole in time: it
// waits for the disk however long, and is then acknowledged.
void TestServerWire::requestDeadlineEndsAtTheLastByte()
{
    QFETCH(int, requestMs);
    QFETCH(int, restAfterMs);
    QFETCH(int, flushDelayMs);
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = requestMs;
    config.spoolFlushDelayMs = flushDelayMs;
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    RawPost sender(m_fixture->server().postPort(), "Welcome*<b>T</b>*sl", false);
    if (restAfterMs >= 0)
        QTimer::singleShot(restAfterMs, this, [&sender] { sender.finish("ow"); });
    QVERIFY(waitUntil([&] { return sender.end() >= 0; }, requestMs + flushDelayMs + 10000));
    const bool whole = restAfterMs >= 0;
    QCOMPARE(sender.end(), whole ? 0 : int(ECONNRESET));
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), whole ? 1 : 0);
    QCOMPARE(m_fixture->logLinesContaining("post dropped"), whole ? 0 : 1);
}

void TestServerWire::persistsAcrossRestart()
{
    ForumServer *server = &m_fixture->server();
    auto *create = request(this, server->createPort(), "Kept");
    WAIT_VERIFY(create->closedByServer());
    QCOMPARE(create->reply(), QByteArray("CREATED"));
    request(this, server->postPort(), "Kept*<b>Still here</b>*after a restart",
            WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);

    QVERIFY(m_fixture->start());
    QCOMPARE(list(), QByteArray("Welcome*Kept"));
    QNetworkReply *page = m_fixture->get("/tav/Kept.htm");
    WAIT_VERIFY(page->isFinished());
    QVERIFY(page->readAll().contains("after a restart"));
    // The welcome forum is made once, not on every start.
    auto *again = request(this, m_fixture->server().createPort(), "Welcome");
    WAIT_VERIFY(again->closedByServer());
    QCOMPARE(again->reply(), QByteArray("EXISTS"));
}

// Another session holds the forums table: every statement of the server's
// waits (until its statement timeout). The list comes from memory, a page that is not built yet is 503 at
// once, and a create that cannot be decided in time gets no CREATED.
void TestServerWire::listAndPagesAnswerWhileTheDatabaseStalls()
{
    if (m_fixture->database().engine != DatabaseUrl::Engine::PostgreSQL)
        QSKIP("another session's lock stalls PostgreSQL's statements; SQLite's readers pass it");
    ServerConfig config = ServerFixture::quickConfig();
    config.createWaitMs = 300;
    config.pageWaitMs = 300;
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    // Once a page is built, the server's own connection is open.
    QNetworkReply *welcome = m_fixture->get("/tav/Welcome.htm");
    WAIT_VERIFY(welcome->isFinished());
    const DatabaseUrl database = m_fixture->database();
    QString error;
    QVERIFY2(database.open(QStringLiteral("stall"), &error), qPrintable(error));
    auto closeStall = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("stall")); });
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("stall"));
        QSqlQuery query(db);
        QVERIFY(db.transaction());
        QVERIFY2(query.exec(QStringLiteral("LOCK TABLE forums IN ACCESS EXCLUSIVE MODE")),
                 qPrintable(query.lastError().text()));

        QCOMPARE(list(), QByteArray("Welcome"));
        QNetworkReply *page = m_fixture->get("/dn.htm");
        WAIT_VERIFY(page->isFinished());
        QCOMPARE(page->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
        QCOMPARE(page->rawHeader("Retry-After"), QByteArray("1"));
        auto *create = request(this, m_fixture->server().createPort(), "Stalled");
        WAIT_VERIFY(create->closedByServer());
        QCOMPARE(create->reply(), QByteArray());
        QCOMPARE(m_fixture->logLinesContaining("did not answer within 300 ms"), 1);
        QVERIFY(db.commit());
        db.close();
    }
    // The store thread may still be finishing the statement it waited on.
    QVERIFY(waitUntil([&] {
        QNetworkReply *page = m_fixture->get("/dn.htm");
        return waitUntil([page] { return page->isFinished(); })
            && page->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    }, 15000));
}

void TestServerWire::lostDatabaseRefusesUntilBack_data()
{
    QTest::addColumn<bool>("writerOpen"); // a post stored before: the writer has connected
    QTest::addColumn<bool>("cut"); // the server's connections cut, or only new ones refused
    QTest::newRow("every connection cut") << true << true;
    QTest::newRow("the writer's first open refused") << false << false;
}

void TestServerWire::lostDatabaseRefusesUntilBack()
{
    QFETCH(bool, writerOpen);
    QFETCH(bool, cut);
    const DatabaseUrl database = m_fixture->database();
    if (database.engine != DatabaseUrl::Engine::PostgreSQL)
        QSKIP("a database file cannot go away like a database server");
    const quint16 postPort = m_fixture->server().postPort();
    QCOMPARE(list(), QByteArray("Welcome"));
    // Once a page is built, the server's own connection is open.
    QNetworkReply *start = m_fixture->get("/dn.htm");
    WAIT_VERIFY(start->isFinished());
    QCOMPARE(start->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const int before = writerOpen ? 1 : 0;
    if (writerOpen)
        request(this, postPort, "Welcome*before*the outage", WireClient::After::CloseWhenSent);
    WAIT_COMPARE(m_fixture->logLinesContaining(": stored"), before);

    // No new connections let in for now.
    DatabaseUrl admin = database;
    admin.name = QStringLiteral("postgres");
    QString error;
    QVERIFY2(admin.open(QStringLiteral("admin"), &error), qPrintable(error));
    auto closeAdmin = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("admin")); });
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("admin")));
        auto allow = [&](bool yes) {
            return query.exec(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS %2")
                                  .arg(database.name, yes ? QStringLiteral("true")
                                                          : QStringLiteral("false")));
        };
        QVERIFY2(allow(false), qPrintable(query.lastError().text()));
        auto allowAgain = qScopeGuard([&] { allow(true); });
        if (cut)
            QVERIFY(query.exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM "
                                              "pg_stat_activity WHERE datname = '%1'")
                                   .arg(database.name)));

        // A post taken in before the server finds the database gone is kept
        // until it can be stored; the writer finds it gone, and from then
        // on the post and create ports refuse. The list is answered throughout.
        request(this, postPort, "Welcome*kept*through the outage",
                WireClient::After::CloseWhenSent);
        WAIT_COMPARE(m_fixture->logLinesContaining("database lost"), 1);
        QCOMPARE(list(), QByteArray("Welcome"));
        QTcpSocket post;
        post.connectToHost(QHostAddress::LocalHost, postPort);
        WAIT_VERIFY(post.state() == QAbstractSocket::UnconnectedState);
        QCOMPARE(post.error(), QAbstractSocket::ConnectionRefusedError);
        QNetworkReply *page = m_fixture->get("/dn.htm");
        WAIT_VERIFY(page->isFinished());
        QCOMPARE(page->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
    }
    QSqlDatabase::database(QStringLiteral("admin")).close();

    // Let in again, the server reconnects by itself and answers on the same ports.
    QVERIFY(waitUntil([&] { return m_fixture->logLinesContaining("database back") == 1; },
                      15000));
    auto *create = request(this, m_fixture->server().createPort(), "After");
    WAIT_VERIFY(create->closedByServer());
    QCOMPARE(create->reply(), QByteArray("CREATED"));
    QCOMPARE(list(), QByteArray("Welcome*After"));
    WAIT_COMPARE(m_fixture->logLinesContaining(": stored"), before + 1);
    QCOMPARE(m_fixture->logLinesContaining("not stored"), 0);
    QCOMPARE(m_fixture->logLinesContaining("database lost"), 1);
    QNetworkReply *page = m_fixture->get("/tav/Welcome.htm");
    WAIT_VERIFY(page->isFinished());
    QVERIFY(page->readAll().contains("through the outage"));
}

// The writer's connection is cut twice while its batch waits on a lock:
// it reconnects each time, and the post is stored once the lock is gone.
void TestServerWire::postThatMeetsTwoOutagesIsStored()
{
    const DatabaseUrl database = m_fixture->database();
    if (database.engine != DatabaseUrl::Engine::PostgreSQL)
        QSKIP("a database file cannot go away like a database server");
    QString error;
    QVERIFY2(database.open(QStringLiteral("holder"), &error), qPrintable(error));
    auto closeHolder = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("holder")); });
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("holder"));
        QSqlQuery query(db);
        QVERIFY(db.transaction());
        QVERIFY(query.exec(QStringLiteral("LOCK TABLE forums IN ACCESS EXCLUSIVE MODE")));
        request(this, m_fixture->server().postPort(), "Welcome*<b>Twice</b>*cut off",
                WireClient::After::CloseWhenSent);
        QTimer look; // nothing else happens in this process while the writer waits
        look.start(20);
        for (int outage = 1; outage <= 2; ++outage) {
            // The writer's statement waits on the lock (the store thread's
            // reads are SELECTs): its connection is cut.
            QVERIFY(waitUntil([&] {
                // Within a transaction the activity seen stays as first read, unless cleared.
                return query.exec(QStringLiteral("SELECT pg_stat_clear_snapshot()"))
                    && query.exec(QStringLiteral(
                           "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                           "wait_event_type = 'Lock' AND query NOT LIKE 'SELECT%'"))
                    && query.next();
            }, 15000));
            WAIT_COMPARE(m_fixture->logLinesContaining("database back"), outage);
        }
        QVERIFY(db.commit());
        db.close();
    }
    WAIT_COMPARE(m_fixture->logLinesContaining(": stored"), 1);
    QCOMPARE(m_fixture->logLinesContaining("not stored"), 0);
}

// Another server's creation committed after this server's own, though made
// first: it is listed where it was made, as a server started afterwards lists
// it, so that every server behind the balancer lists the forums alike.
void TestServerWire::forumsHeardOutOfOrderListAsCreated()
{
    const DatabaseUrl database = m_fixture->database();
    if (database.engine != DatabaseUrl::Engine::PostgreSQL)
        QSKIP("only servers sharing PostgreSQL hear of each other's forums");
    QString error;
    QVERIFY2(database.open(QStringLiteral("other"), &error), qPrintable(error));
    auto closeOther = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("other")); });
    {
        // The other server's creation, made first and committed last.
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("other"));
        QSqlQuery query(db);
        QVERIFY(db.transaction());
        QVERIFY2(query.exec(QStringLiteral("INSERT INTO forums (name, created) VALUES ('Early', 0)")),
                 qPrintable(query.lastError().text()));
        auto *create = request(this, m_fixture->server().createPort(), "Late");
        WAIT_VERIFY(create->closedByServer());
        QCOMPARE(create->reply(), QByteArray("CREATED"));
        QCOMPARE(list(), QByteArray("Welcome*Late"));
        QVERIFY(query.exec(QStringLiteral("SELECT pg_notify('tavernly_changes', 'forums')")));
        QVERIFY(db.commit());
        db.close();
    }
    QVERIFY(waitUntil([&] { return list() != "Welcome*Late"; }, 10000));
    const QByteArray heard = list();
    QCOMPARE(heard, QByteArray("Welcome*Early*Late"));
    QVERIFY(m_fixture->start());
    QCOMPARE(list(), heard);
}

// Another session holds the messages table far longer than the writer's
// statements wait, many times over: posts are still acknowledged (they are
// in the spool), and every one is stored once it lets go.
void TestServerWire::lockedMessagesDelayPostsButLoseNone()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.statementWaitMs = 100;
    m_fixture.reset(); // first: the new fixture empties the database it uses
    m_fixture = std::make_unique<ServerFixture>(config);
    QVERIFY(m_fixture->start());
    const DatabaseUrl database = m_fixture->database();
    const auto bytesWaiting = [] {
        static const QRegularExpression gauge(QStringLiteral("\ntavernly_post_bytes_waiting (\\S+)"));
        return gauge.match(QString::fromStdString(metrics::text())).captured(1).toDouble();
    };
    QString error;
    QVERIFY2(database.open(QStringLiteral("lock"), &error), qPrintable(error));
    auto closeLock = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("lock")); });
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("lock"));
        QSqlQuery query(db);
        const bool lite = database.engine == DatabaseUrl::Engine::SQLite;
        QVERIFY2(lite ? query.exec(QStringLiteral("BEGIN IMMEDIATE"))
                      : db.transaction()
                          && query.exec(QStringLiteral("LOCK TABLE messages IN EXCLUSIVE MODE")),
                 qPrintable(query.lastError().text()));
        std::vector<std::unique_ptr<RawPost>> senders;
        // One of them 60 KiB of "<": 240 KiB of HTML in memory, kept to 128 Ki characters.
        for (int i = 0; i < 20; ++i)
            senders.push_back(std::make_unique<RawPost>(
                m_fixture->server().postPort(), "Welcome*<b>L</b>*locked " + QByteArray::number(i)
                    + (i == 0 ? QByteArray(60 * 1024, '<') : QByteArray())));
        for (const auto &sender : senders) {
            WAIT_VERIFY(sender->end() >= 0);
            QCOMPARE(sender->end(), 0);
        }
        // Past any fixed count of tries: the pause between them has grown to 1.6 s.
        QVERIFY2(waitUntil([&] {
            return m_fixture->logLinesContaining("trying again in 1600 ms") > 0;
        }, 20000), qPrintable(m_fixture->log().join(u'\n').right(1500)));
        QCOMPARE(m_fixture->logLinesContaining("stored"), 0);
        // Fault: posts charged their bytes as sent, not the HTML they come to hold.
        QVERIFY2(bytesWaiting() > 2 * maxSanitizedSize, qPrintable(QString::number(bytesWaiting())));
        QVERIFY(lite ? query.exec(QStringLiteral("ROLLBACK")) : db.rollback());
        db.close();
    }
    QVERIFY(waitUntil([&] {
        return m_fixture->logLinesContaining("\"Welcome\": stored") == 20;
    }, 20000));
    // Fault: a post made safe at once keeps the charge it had before (all but the long one are).
    QCOMPARE(bytesWaiting(), 0.0);
    QNetworkReply *start = m_fixture->get("/dn.htm");
    WAIT_VERIFY(start->isFinished());
    QVERIFY(start->readAll().contains("(21 messages)"));
}

// The database file removed under a running server: an outage noticed
// within a couple of seconds, posts refused, and no new, empty database made
// in its place; once the file is back, so is the server, its forums intact.
void TestServerWire::removedDatabaseFileIsAnOutage()
{
    const DatabaseUrl database = m_fixture->database();
    if (database.engine != DatabaseUrl::Engine::SQLite)
        QSKIP("only a database file can be removed");
    const quint16 postPort = m_fixture->server().postPort();
    {
        RawPost before(postPort, "Welcome*<b>A</b>*before the removal");
        WAIT_VERIFY(before.end() == 0);
    }
    WAIT_COMPARE(m_fixture->logLinesContaining("stored"), 1);
    const QString moved = database.path + QStringLiteral(".moved");
    QVERIFY(QFile::rename(database.path, moved));
    QVERIFY(waitUntil([&] { return status(QStringLiteral("/health")) == 503; }, 3000));
    RawPost meanwhile(postPort, "Welcome*<b>B</b>*while it is gone");
    WAIT_VERIFY(meanwhile.end() >= 0);
    QVERIFY(meanwhile.end() != 0);
    // The store tries again every second: two tries, and still no file.
    QVERIFY(!waitUntil([&] { return QFile::exists(database.path); }, 2500));
    QVERIFY(QFile::rename(moved, database.path));
    QVERIFY(waitUntil([&] { return status(QStringLiteral("/health")) == 200; }, 5000));
    QNetworkReply *page = m_fixture->get("/tav/Welcome.htm");
    WAIT_VERIFY(page->isFinished());
    const QByteArray body = page->readAll();
    QVERIFY(body.contains("before the removal"));
    QVERIFY(!body.contains("while it is gone"));
}

QTEST_GUILESS_MAIN(TestServerWire)
#include "tst_serverwire.moc"
