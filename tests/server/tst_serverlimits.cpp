// Many clients and slow clients against an in-process server.

#include "serverfixture.h"
#include "waits.h"
#include "wireclient.h"

#include "server/app/logwriter.h"
#include "server/base/servermetrics.h"

#include <QRegularExpression>
#include "server/posts/postpipeline.h"
#include "server/wire/requestrules.h"

#include <QDir>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class TestServerLimits : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void connectionsOverTheLimitWaitTheirTurn();
    void slowClientsDoNotDelayAList();
    void idleConnectionsAreClosedOnEveryPort();
    void trickledPageRequestIsCutOffUnanswered();
    void pageCutsCountedByReason_data();
    void pageCutsCountedByReason();
    void keptAliveConnectionAskingInTimeStaysOpen();
    void roomIsMadeOnlyWhenNeededAndFair_data();
    void roomIsMadeOnlyWhenNeededAndFair();
    void logLinesOutliveACrash_data();
    void logLinesOutliveACrash();
    void blockedLogDropsCountedLinesWithoutStalling();
    void mainThreadClassStopsACallFromAnotherThread();
    void postPortWaitsForTheStoreThenTakesPostsAgain();
};

namespace {

struct Pipe
{
    Pipe()
    {
        if (::pipe2(fds, O_CLOEXEC) == 0)
            ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe()
    {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    QByteArray readAll() const
    {
        QByteArray out;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, n);
        return out;
    }
    int fds[2] = {-1, -1};
};

} // namespace

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

void TestServerLimits::pageCutsCountedByReason_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("reason");
    const QByteArray get = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QTest::newRow("silent after an answer") << get << QByteArray("idle");
    QTest::newRow("next request begun after an answer") << get + "GET /he" << QByteArray("deadline");
    QTest::newRow("first request not complete") << get.left(10) << QByteArray("deadline");
}

// A kept-alive connection that falls silent after its answer is not a
// request that came too slowly: the metrics tell them apart.
void TestServerLimits::pageCutsCountedByReason()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, reason);
    const auto cuts = [](const char *why) {
        const QByteArray series =
            QByteArray("tavernly_connections_cut_total{port=\"http\",reason=\"") + why + "\"} ";
        const QByteArray text = QByteArray::fromStdString(metrics::text());
        const qsizetype at = text.indexOf(series);
        return at < 0 ? 0.0 : text.mid(at + series.size(), text.indexOf('\n', at) - at - series.size()).toDouble();
    };
    const double idleBefore = cuts("idle"), deadlineBefore = cuts("deadline");
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = 300;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    WireClient client(fixture.server().httpPort());
    client.send(sent);
    WAIT_VERIFY(client.closedByServer());
    QCOMPARE(cuts("idle") - idleBefore, reason == "idle" ? 1.0 : 0.0);
    QCOMPARE(cuts("deadline") - deadlineBefore, reason == "deadline" ? 1.0 : 0.0);
}

// Each answer gives the next request a whole deadline of its own: a reader
// asking again well within it keeps the connection long past the first.
void TestServerLimits::keptAliveConnectionAskingInTimeStaysOpen()
{
    ServerConfig config = ServerFixture::quickConfig();
    config.requestMs = 1500;
    ServerFixture fixture(config);
    QVERIFY(fixture.start());
    const QByteArray get = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    WireClient client(fixture.server().httpPort());
    client.send(get);
    constexpr int requests = 10; // one every 250 ms: 2.5 s in all
    for (int i = 1; i < requests; ++i) {
        WAIT_VERIFY(client.reply().count("HTTP/1.1 200") == i);
        QTest::qWait(250);
        QVERIFY(!client.closedByServer());
        client.sendMore(get);
    }
    WAIT_VERIFY(client.reply().count("HTTP/1.1 200") == requests);
    WAIT_VERIFY(client.closedByServer()); // silent at last: cut as idle
    QCOMPARE(client.reply().count("HTTP/1.1 200"), requests);
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

void TestServerLimits::logLinesOutliveACrash_data()
{
    QTest::addColumn<bool>("underJournal");
    QTest::newRow("own stamp") << false;
    QTest::newRow("journald stamps") << true;
}

// What was logged before a crash is not lost with it, though the loop's
// turn never ended; under journald the line carries no second stamp.
void TestServerLimits::logLinesOutliveACrash()
{
    QFETCH(bool, underJournal);
    Pipe pipe;
    struct stat st{};
    QCOMPARE(::fstat(pipe.fds[1], &st), 0);
    const QByteArray stream =
        QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        qputenv("JOURNAL_STREAM", underJournal ? stream : QByteArray("0:0"));
        LogWriter log(pipe.fds[1]);
        log.writeOutOnCrash();
        log.write(QStringLiteral("post 127.0.0.1:5 to \"a\": stored"));
        std::abort();
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    const QByteArray out = pipe.readAll();
    const QByteArray line = "post 127.0.0.1:5 to \"a\": stored\n";
    if (underJournal)
        QCOMPARE(out, line);
    else
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "))
                         .match(QString::fromUtf8(out)).hasMatch()
                     && out.endsWith(line),
                 out.constData());
}

// A reader that stops reading never holds up the server: lines wait up to a
// bound, the rest are dropped and counted, and once the reader reads again
// everything kept comes out whole and in order, then how many were dropped.
void TestServerLimits::blockedLogDropsCountedLinesWithoutStalling()
{
    Pipe pipe;
    LogWriter log(pipe.fds[1]);
    const int lines = 3000; // ~3 MB against a 64 KiB pipe and a 1 MiB bound
    for (int i = 0; i < lines; ++i)
        log.write(QStringLiteral("line %1 ").arg(i, 5, 10, QChar(u'0')) + QString(1000, u'x'));
    QVERIFY(log.dropped() > 0);
    QVERIFY(log.dropped() < lines - (LogWriter::maxWaiting / 1100));
    // A real loop: lines go out as its turns end, before it waits.
    QByteArray out;
    QEventLoop loop;
    QTimer reader;
    connect(&reader, &QTimer::timeout, &loop, [&] {
        if ((out += pipe.readAll()).contains("lines dropped"))
            loop.quit();
    });
    reader.start(5);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QList<QByteArray> got = out.split('\n');
    QCOMPARE(got.takeLast(), QByteArray()); // ends with a whole line
    QVERIFY(got.last().endsWith(QByteArray::number(log.dropped())
                                + " lines dropped while the output was blocked"));
    got.removeLast();
    QCOMPARE(got.size() + log.dropped(), lines);
    for (qsizetype i = 0; i < got.size(); ++i) {
        const qsizetype at = got[i].indexOf("line ");
        QVERIFY2(at > 0 && got[i].mid(at + 5, 5).toInt() == i && got[i].size() == at + 1011,
                 got[i].left(80).constData());
    }
}

// Classes of the main thread check where they are called from: in a debug
// build a call from another thread stops the program there and then.
void TestServerLimits::mainThreadClassStopsACallFromAnotherThread()
{
#ifdef QT_NO_DEBUG
    QSKIP("the check is part of debug builds (the sanitizer suite)");
#else
    Pipe pipe;
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        LogWriter log(pipe.fds[1]);
        std::thread([&log] { log.write(QStringLiteral("from the store thread")); }).join();
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT, "the call went through");
    QCOMPARE(pipe.readAll(), QByteArray());
#endif
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
