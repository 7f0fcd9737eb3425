// Many clients and slow clients against an in-process server.

#include "serverfixture.h"
#include "waits.h"
#include "wireclient.h"

#include <QTest>
#include <sys/resource.h>

class TestServerLimits : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void connectionsOverTheLimitAreClosed();
    void slowClientsDoNotDelayAList();
    void idleConnectionsAreClosedOnEveryPort();
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

void TestServerLimits::connectionsOverTheLimitAreClosed()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.listWaitMs = 60000; // the silent connections stay until the test ends them
    config.requestMs = 60000;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    const quint16 port = fixture.server().listPort();

    std::vector<std::unique_ptr<WireClient>> clients;
    auto connected = [&clients] {
        return std::all_of(clients.begin(), clients.end(),
                           [](const auto &c) { return c->hasConnected(); });
    };
    // In batches, so that the listen queue never overflows.
    for (int batch = 0; batch < 6; ++batch) {
        for (int i = 0; i < 100; ++i) {
            clients.push_back(std::make_unique<WireClient>(port));
            clients.back()->send({});
        }
        WAIT_VERIFY(connected());
    }
    auto closed = [&clients] {
        return std::count_if(clients.begin(), clients.end(),
                             [](const auto &c) { return c->closedByServer(); });
    };
    WAIT_COMPARE(closed(), 600 - 512);
    QCOMPARE(fixture.server().openConnections(), 512);
    QCOMPARE(fixture.logLinesContaining("refused"), 88);

    // Full: a list request is closed unanswered...
    WireClient refused(port);
    refused.send("GETLIST");
    WAIT_VERIFY(refused.closedByServer());
    QCOMPARE(refused.reply(), QByteArray());

    // ...and answered again once clients leave.
    for (int i = 0; i < 100; ++i)
        clients[size_t(i)]->close();
    WAIT_VERIFY(fixture.server().openConnections() <= 412);
    WireClient answered(port);
    answered.send("GETLIST");
    WAIT_VERIFY(answered.closedByServer());
    QCOMPARE(answered.reply(), QByteArray("Welcome"));

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

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_serverlimits.moc"
