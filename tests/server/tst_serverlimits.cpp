// Many clients and slow clients against an in-process server.

#include "serverfixture.h"
#include "waits.h"
#include "wireclient.h"

#include "server/postpipeline.h"
#include "server/requestrules.h"

#include <QDir>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>
#include <sys/resource.h>

class TestServerLimits : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void connectionsOverTheLimitWaitTheirTurn();
    void slowClientsDoNotDelayAList();
    void idleConnectionsAreClosedOnEveryPort();
    void trickledPageRequestIsCutOffUnanswered();
    void roomIsMadeOnlyWhenNeededAndFair_data();
    void roomIsMadeOnlyWhenNeededAndFair();
    void postPortWaitsForTheStoreThenTakesPostsAgain();
};

void TestServerLimits::initTestCase()
{
    // Both ends of 600 connections live in this process.
    rlimit files{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 2048 && files.rlim_max >= 2048) {
        files.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 1400)
        QSKIP("not enough file descriptors for 600 connections");
}

// 600 silent connections against a limit of 512: the ones over it wait in
// the system's queue, and the oldest silent ones make room, so that a list
// request behind them all is still answered.
void TestServerLimits::connectionsOverTheLimitWaitTheirTurn()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.listWaitMs = 60000; // the silent connections stay until cut off to make room
    config.requestMs = 60000;
    config.makeRoomAfterMs = 200;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    const quint16 port = fixture.server().listPort();

    std::vector<std::unique_ptr<WireClient>> clients;
    auto connected = [&clients] {
        return std::all_of(clients.begin(), clients.end(),
                           [](const auto &c) { return c->hasConnected(); });
    };
    int most = 0;
    // In batches, so that the listen queue never overflows.
    for (int batch = 0; batch < 6; ++batch) {
        for (int i = 0; i < 100; ++i) {
            clients.push_back(std::make_unique<WireClient>(port));
            clients.back()->send({});
        }
        WAIT_VERIFY(connected());
        most = std::max(most, fixture.server().openConnections());
    }
    WireClient list(port);
    list.send("GETLIST");
    QVERIFY(waitUntil([&] {
        most = std::max(most, fixture.server().openConnections());
        return list.closedByServer();
    }, 20000));
    QCOMPARE(list.reply(), QByteArray("Welcome"));
    QVERIFY(most <= 512);
    // 601 connections, 512 slots: the 89 oldest were cut off, and only they.
    WAIT_COMPARE(fixture.logLinesContaining("to make room"), 89);
    auto closed = [&clients] {
        return std::count_if(clients.begin(), clients.end(),
                             [](const auto &c) { return c->closedByServer(); });
    };
    WAIT_COMPARE(closed(), 89);
    for (size_t i = 100; i < clients.size(); ++i)
        QVERIFY(!clients[i]->closedByServer()); // the oldest went, not the newest
    QCOMPARE(fixture.server().openConnections(), 512);

    clients.clear();
    WAIT_COMPARE(fixture.server().openConnections(), 0);
}

void TestServerLimits::slowClientsDoNotDelayAList()
{
    ServerFixture fixture;
    QVERIFY(fixture.start());
    ForumServer &server = fixture.server();

    // A post trickling in, a list request stalled halfway, a name being typed.
    WireClient slowPost(server.postPort());
    slowPost.send("Welcome*<b>Slow</b>*");
    WireClient slowList(server.listPort());
    slowList.send("GET");
    WireClient slowPage(server.httpPort());
    slowPage.send("GET /dn.htm HTTP/1.1\r\nHo");
    WAIT_VERIFY(slowPost.sent() && slowList.sent() && slowPage.sent());
    slowPost.sendMore("more ");

    WireClient list(server.listPort());
    list.send("GETLIST");
    WAIT_VERIFY(list.closedByServer());
    QCOMPARE(list.reply(), QByteArray("Welcome"));
    // The slow ones were served alongside, not ahead.
    QVERIFY(slowPost.isOpen());
    QVERIFY(slowList.isOpen());
    QVERIFY(slowPage.isOpen());

    slowPost.sendMore("body");
    WAIT_VERIFY(slowPost.sent());
    slowPost.close();
    WAIT_COMPARE(fixture.logLinesContaining("stored"), 1);
}

void TestServerLimits::idleConnectionsAreClosedOnEveryPort()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = 150;
    config.listWaitMs = 60000;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    ForumServer &server = fixture.server();
    std::vector<std::unique_ptr<WireClient>> clients;
    for (quint16 port : {server.listPort(), server.createPort(), server.postPort(),
                         server.httpPort()}) {
        clients.push_back(std::make_unique<WireClient>(port));
        clients.back()->send({});
    }
    for (const auto &client : clients)
        WAIT_VERIFY(client->closedByServer());
    WAIT_COMPARE(server.openConnections(), 0);
    QCOMPARE(fixture.logLinesContaining("CREATED"), 0);
    QCOMPARE(fixture.logLinesContaining("stored"), 0);
}

// The deadline counts from the connection, not from the latest byte.
void TestServerLimits::trickledPageRequestIsCutOffUnanswered()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = 300;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    const QByteArray request = "GET /dn.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    WireClient client(fixture.server().httpPort());
    client.send(request.left(1));
    qsizetype sent = 1;
    QTimer trickle; // a byte every 30 ms: the whole request would take over a second
    connect(&trickle, &QTimer::timeout, this, [&] {
        if (sent < request.size() && client.hasConnected())
            client.sendMore(request.mid(sent++, 1));
    });
    trickle.start(30);
    WAIT_VERIFY(client.closedByServer());
    QCOMPARE(client.reply(), QByteArray());
    QVERIFY(sent < request.size());
}

void TestServerLimits::roomIsMadeOnlyWhenNeededAndFair_data()
{
    QTest::addColumn<bool>("someoneWaits");
    QTest::addColumn<int>("makeRoomAfterMs");
    QTest::newRow("nobody waiting") << false << 100;
    QTest::newRow("someone waiting, everyone younger than the minimum") << true << 60000;
}

// At the limit, a silent connection is cut only for someone waiting, and
// only once it is old enough.
void TestServerLimits::roomIsMadeOnlyWhenNeededAndFair()
{
    QFETCH(bool, someoneWaits);
    QFETCH(int, makeRoomAfterMs);
    ServerConfig config = ServerFixture::quickConfig();
    config.maxConnections = 4;
    config.listWaitMs = 60000;
    config.requestMs = 60000;
    config.makeRoomAfterMs = makeRoomAfterMs;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    const quint16 port = fixture.server().listPort();
    std::vector<std::unique_ptr<WireClient>> silent;
    for (int i = 0; i < 4; ++i) {
        silent.push_back(std::make_unique<WireClient>(port));
        silent.back()->send({});
    }
    WAIT_COMPARE(fixture.server().openConnections(), 4);
    WireClient waiting(port);
    if (someoneWaits)
        waiting.send("GETLIST");
    // Long past the minimum age when nobody waits; for the waiting one, long
    // enough for the room check to have run many times.
    QVERIFY(!waitUntil([&] { return fixture.logLinesContaining("to make room") > 0; }, 600));
    for (const auto &client : silent)
        QVERIFY(!client->closedByServer());
    QCOMPARE(waiting.reply(), QByteArray());
}

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_serverlimits.moc"

// The database is held while posts pour in: past the bound of bytes not yet
// stored the post port stops taking them; once the database is let go and
// the backlog is stored, it takes posts again, a later one included.
void TestServerLimits::postPortWaitsForTheStoreThenTakesPostsAgain()
{
    ServerFixture fixture;
    QVERIFY(fixture.start());
    if (fixture.database().engine != DatabaseUrl::Engine::SQLite)
        QSKIP("the test holds the SQLite database's write lock");
    const quint16 port = fixture.server().postPort();
    // A write transaction of the test's own on the server's file: the
    // server's writer waits on it (its busy timeout outlasts the filling).
    auto removeHolder = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("holder")); });
    std::vector<std::unique_ptr<WireClient>> clients;
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(QDir(fixture.dataDir()).filePath(ForumStore::fileName()));
        QVERIFY(holder.open());
        QSqlQuery hold(holder);
        QVERIFY(hold.exec(QStringLiteral("PRAGMA busy_timeout=10000")));
        QVERIFY2(hold.exec(QStringLiteral("BEGIN IMMEDIATE")), qPrintable(hold.lastError().text()));

        const QByteArray post = "Welcome*<b>T</b>*" + QByteArray(requestrules::maxPostBytes - 100, 'a');
        // In batches, so that the listen queue never overflows once the port waits.
        while (fixture.logLinesContaining("the post port waits") == 0) {
            QVERIFY2(qint64(clients.size()) * post.size() < 2 * PostPipeline::maxPendingBytes,
                     "the post port never waited");
            const size_t first = clients.size();
            for (int i = 0; i < 32; ++i) {
                clients.push_back(std::make_unique<WireClient>(port));
                clients.back()->send(post, WireClient::After::CloseWhenSent);
            }
            WAIT_VERIFY(std::all_of(clients.begin() + qsizetype(first), clients.end(),
                                    [](const auto &c) { return c->sent(); }));
        }
        QVERIFY(hold.exec(QStringLiteral("ROLLBACK")));
    }

    WireClient later(port);
    later.send("Welcome*<b>Later</b>*one more", WireClient::After::CloseWhenSent);
    QVERIFY(waitUntil([&] { return fixture.logLinesContaining("\"Welcome\": stored") == int(clients.size()) + 1; },
                      60000));
    QCOMPARE(fixture.logLinesContaining("not stored"), 0);
}
