// The tavernly-server program itself: command line, ready line, and what a
// killed server keeps.

#include "metricsreader.h"
#include "plainsender.h"
#include "serverprocess.h"
#include "waits.h"
#include "wireclient.h"
#include "server/store/databaseurl.h"
#include "tests/missingtool.h"

#include <QElapsedTimer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <optional>
#include <thread>

namespace {

// Starts the server over dataDir; false, with the reason, when it did not come up.
bool start(ServerProcess &server, const QString &dataDir, const QStringList &more = {})
{
    QString error;
    if (server.start(QStringLiteral(TAVERNLY_SERVER_BINARY), more, &error, dataDir))
        return true;
    qWarning("%s", qPrintable(error));
    return false;
}

// A plain sender's exchange: empty when the server closed in order without a word.
QByteArray blockingExchange(quint16 port, const QByteArray &request)
{
    bool ok = false;
    const QByteArray reply = kit::exchange(port, request, &ok, 20000);
    return ok ? reply : QByteArray("<not sent or not closed>");
}

// A post as the client sends it: true only if the server then closed in
// order (the post is kept), false for a reset or any failure.
bool acknowledged(quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte = 0;
    const bool kept =
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)
            == ssize_t(request.size())
        && ::shutdown(fd, SHUT_WR) == 0 && ::recv(fd, &byte, 1, 0) == 0;
    ::close(fd);
    return kept;
}

// The PostgreSQL database a run through scripts/pg-throwaway.sh names; none otherwise.
std::optional<DatabaseUrl> testPostgreSQL()
{
    const QByteArray address = qgetenv("TAVERNLY_TEST_DATABASE");
    if (address.isEmpty() || address == "none")
        return std::nullopt;
    return DatabaseUrl::parse(QString::fromUtf8(address), nullptr);
}

// The options that put a server on that database; none for SQLite in its data folder.
QStringList databaseOptions()
{
    return testPostgreSQL()
        ? QStringList{"--database", QString::fromUtf8(qgetenv("TAVERNLY_TEST_DATABASE"))}
        : QStringList();
}

// The database a server on this data folder uses, opened as `name`.
bool openDatabase(const QString &dataDir, const QString &name)
{
    const DatabaseUrl url = testPostgreSQL().value_or(
        DatabaseUrl::sqliteFile(QDir(dataDir).filePath(QStringLiteral("tavernly.sqlite"))));
    return url.open(name, nullptr);
}

// How often each body is stored in the database of a data folder.
QHash<QByteArray, int> storedBodies(const QString &dataDir)
{
    QHash<QByteArray, int> counts;
    if (openDatabase(dataDir, QStringLiteral("bodies"))) {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("bodies")));
        if (query.exec(QStringLiteral("SELECT body FROM messages"))) {
            while (query.next())
                ++counts[query.value(0).toByteArray()];
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bodies"));
    return counts;
}

// Runs the program to its end; its exit code, its standard error in *err.
int runCommand(const QStringList &arguments, QByteArray *err)
{
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), arguments);
    if (!process.waitForFinished(20000))
        return -1;
    *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT
private slots:
    void helpNamesEveryOption();
    void badArgumentsAreRefused_data();
    void badArgumentsAreRefused();
    void killedServerKeepsWhatItAnswered();
    void terminateEndsCleanly();
    void killsDuringAFloodLoseNoAcknowledgedPost();
    void terminateEndsInTimeWhileTheDatabaseIsLocked();
    void terminateEndsInTimeWhileTheDiskStalls();
    void fullSpoolDiskTakesPostsBack();
    void burstsAreStoredWhole_data();
    void burstsAreStoredWhole();
    void listAnswersWhileAHostilePostIsParsed();
    void metricsCountWhatHappened();
    void moderatorHidesAMessageFromARunningServer();

private:
    QByteArray exchange(quint16 port, const QByteArray &request,
                        WireClient::After after = WireClient::After::WaitForReply);
};

QByteArray TestServerProcess::exchange(quint16 port, const QByteArray &request,
                                       WireClient::After after)
{
    WireClient client(port);
    client.send(request, after);
    const bool done = waitUntil([&] {
        return after == WireClient::After::WaitForReply ? client.closedByServer()
                                                        : client.sent() && !client.isOpen();
    });
    return done ? client.reply() : QByteArray("<no end>");
}

void TestServerProcess::helpNamesEveryOption()
{
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), {"--help"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const char *option : {"--listen", "--data", "--database", "--database-password-file",
                               "--list-port", "--create-port", "--post-port", "--http-port",
                               "--metrics", "--create-limit", "--post-limit", "--trust-proxy",
                               "--change-poll", "--spool-budget", "hide", "unhide", "drain"})
        QVERIFY2(help.contains(option), option);
}

void TestServerProcess::badArgumentsAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port too large") << QStringList{"--list-port", "70000"};
    QTest::newRow("port not a number") << QStringList{"--http-port", "web"};
    QTest::newRow("address not an address") << QStringList{"--listen", "localhost:1"};
    QTest::newRow("database of another kind") << QStringList{"--database", "mysql://u@h/forums"};
    QTest::newRow("database file not named") << QStringList{"--database", "sqlite:"};
    QTest::newRow("database not named") << QStringList{"--database", "postgresql://u@127.0.0.1/"};
    QTest::newRow("metrics without a port") << QStringList{"--metrics", "127.0.0.1"};
    QTest::newRow("metrics on a name") << QStringList{"--metrics", "localhost:9478"};
    QTest::newRow("limit below 0") << QStringList{"--post-limit", "-1"};
    QTest::newRow("limit not a number") << QStringList{"--create-limit", "ten"};
    QTest::newRow("proxy named, not an address") << QStringList{"--trust-proxy", "haproxy"};
    QTest::newRow("password without PostgreSQL")
        << QStringList{"--database-password-file", "/dev/null"};
    // Nothing listens on port 1: the server must not start without its database.
    QTest::newRow("database not answering")
        << QStringList{"--database", "postgresql://u@127.0.0.1:1/forums"};
}

void TestServerProcess::badArgumentsAreRefused()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), arguments << "--data" << dir.path());
    QVERIFY(process.waitForFinished(10000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardOutput().contains("listening"));
}

void TestServerProcess::killedServerKeepsWhatItAnswered()
{
    QTemporaryDir dir;
    ServerProcess first;
    QVERIFY(start(first, dir.path()));
    QCOMPARE(exchange(first.ports().create, "Kept"), QByteArray("CREATED"));
    exchange(first.ports().post, "Kept*<b>Posted</b>*before the kill", WireClient::After::CloseWhenSent);
    QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("stored"), 10000);
    first.kill();

    ServerProcess second;
    QVERIFY(start(second, dir.path()));
    const ServicePorts &ports = second.ports();
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome*Kept"));
    WireClient http(ports.http);
    http.send("GET /tav/Kept.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    WAIT_VERIFY(http.reply().contains("</html>"));
    QVERIFY(http.reply().contains("before the kill"));
    QVERIFY(second.stop());
}

void TestServerProcess::terminateEndsCleanly()
{
    QTemporaryDir dir;
    ServerProcess process;
    QVERIFY(start(process, dir.path()));
    const ServicePorts &ports = process.ports();
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome"));
    // Posts taken in just before: each still gets its line once stored.
    for (int i = 0; i < 50; ++i)
        QCOMPARE(blockingExchange(ports.post, "Welcome*<b>Last</b>*" + QByteArray::number(i)),
                 QByteArray());
    QVERIFY(process.stop()); // by itself, with status 0
    QCOMPARE(process.log().count("\"Welcome\": stored"), 50);
}

// Senders post without pause, each counting a post only once the server
// closed in order; the server is killed three times at random moments and
// started again on the same folder. Every acknowledged post is then stored
// exactly once: none lost with the process, none stored twice from the spool.
void TestServerProcess::killsDuringAFloodLoseNoAcknowledgedPost()
{
    QTemporaryDir dir;
    ServerProcess server;
    // Run through scripts/pg-throwaway.sh (tst_serverprocess_postgresql): on PostgreSQL.
    const std::optional<DatabaseUrl> postgresql = testPostgreSQL();
    const QStringList database = databaseOptions();
    const QStringList options = database + QStringList{"--post-limit", "0"}; // one sender address
    QVERIFY(start(server, dir.path(), options));
    std::atomic<quint16> postPort{server.ports().post};
    std::atomic<bool> done{false};
    std::atomic<int> acknowledgedCount{0};
    constexpr int senders = 8;
    std::vector<QList<QByteArray>> kept(senders);
    std::vector<std::thread> threads;
    // Bodies of a kilobyte: the spool's segments fill and are deleted as the database catches up.
    const QByteArray padding(1000, 'p');
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; !done; ++i) {
                const QByteArray body = "s" + QByteArray::number(s) + "-" + QByteArray::number(i)
                    + padding;
                if (acknowledged(postPort, "Welcome*<b>F</b>*" + body)) {
                    kept[s].append(body);
                    ++acknowledgedCount;
                    // Wakes the waiting loop, which may hear nothing else meanwhile.
                    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {},
                                              Qt::QueuedConnection);
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2)); // restarting
                }
            }
        });
    }
    QRandomGenerator random(quint32(QDateTime::currentMSecsSinceEpoch()));
    for (int kill = 0; kill < 3; ++kill) {
        // Once with the database locked meanwhile: the writer falls more
        // than a spool segment behind, and the kill finds it there.
        QSqlDatabase holder;
        QSqlQuery lock;
        if (kill == 1) {
            QVERIFY(openDatabase(dir.path(), QStringLiteral("holder")));
            holder = QSqlDatabase::database(QStringLiteral("holder"));
            lock = QSqlQuery(holder);
            QVERIFY(postgresql ? lock.exec(QStringLiteral("BEGIN"))
                        && lock.exec(QStringLiteral("LOCK TABLE messages IN EXCLUSIVE MODE"))
                               : lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        }
        const int target =
            acknowledgedCount + (kill == 1 ? 1500 : 0) + random.bounded(300, 1500);
        QVERIFY(waitUntil([&] { return acknowledgedCount >= target; }, 60000));
        server.kill();
        if (kill == 1) {
            QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
            lock = QSqlQuery();
            holder.close();
            holder = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        }
        QVERIFY(start(server, dir.path(), options));
        postPort = server.ports().post;
    }
    const int target = acknowledgedCount + 200;
    QVERIFY(waitUntil([&] { return acknowledgedCount >= target; }, 60000));
    done = true;
    for (std::thread &thread : threads)
        thread.join();
    server.stop();
    const QHash<QByteArray, int> stored = storedBodies(dir.path());
    int checked = 0;
    for (const QList<QByteArray> &bodies : kept) {
        for (const QByteArray &body : bodies) {
            QVERIFY2(stored.value(body) == 1,
                     qPrintable(QStringLiteral("%1 stored %2 times")
                                    .arg(QString::fromLatin1(body.left(12)))
                                    .arg(stored.value(body))));
            ++checked;
        }
    }
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        QVERIFY2(it.value() == 1, it.key().left(12).constData());
    QCOMPARE(checked, acknowledgedCount.load());
    QVERIFY(checked > 1000);
}

// SIGTERM while another process holds the database's lock (the writer is
// inside a statement that waits for it): the server ends within systemd's
// stop timeout, and what it acknowledged is stored once, by drain (as for a
// server that will not come back), and not again at the next start.
void TestServerProcess::terminateEndsInTimeWhileTheDatabaseIsLocked()
{
    QTemporaryDir dir;
    ServerProcess server;
    const std::optional<DatabaseUrl> postgresql = testPostgreSQL();
    const QStringList database = databaseOptions();
    QVERIFY(start(server, dir.path(), database));
    ServicePorts ports = server.ports();
    QCOMPARE(exchange(ports.create, "Held"), QByteArray("CREATED"));
    QVERIFY(acknowledged(ports.post, "Held*<b>T</b>*before the lock"));
    WAIT_VERIFY(server.log().contains("stored"));
    {
        QVERIFY(openDatabase(dir.path(), QStringLiteral("holder")));
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("holder"));
        QSqlQuery query(db);
        QVERIFY(postgresql ? query.exec(QStringLiteral("BEGIN"))
                    && query.exec(QStringLiteral("LOCK TABLE messages IN EXCLUSIVE MODE"))
                           : query.exec(QStringLiteral("BEGIN IMMEDIATE")));
        for (int i = 0; i < 20; ++i)
            QVERIFY(acknowledged(ports.post, "Held*<b>T</b>*locked " + QByteArray::number(i)));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(server.stop(15000));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        const QByteArray log = server.log();
        QVERIFY2(log.contains("20 posts wait in the spool"), log.right(500).constData());
        QVERIFY(query.exec(QStringLiteral("ROLLBACK")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    // Handed over as an operator would for a server that will not come back;
    // the start after it finds nothing more to store.
    QByteArray err;
    QCOMPARE(runCommand(QStringList{"--data", dir.path()} + database + QStringList{"drain"}, &err),
             0);
    QVERIFY2(err.contains("20 posts stored from the spool"), err.constData());
    QVERIFY(start(server, dir.path(), database));
    ports = server.ports();
    const QByteArray page = blockingExchange(ports.http, "GET /dn.htm HTTP/1.0\r\n\r\n");
    QVERIFY2(page.contains("Held</a> (21 messages)"), page.constData());
    QVERIFY(server.stop());
    QCOMPARE(storedBodies(dir.path()).value("locked 19"), 1);
}

// The spool's last flush is within the stop's deadline too: on a disk that
// stalls, the post waiting for it is reset and the server ends in time.
void TestServerProcess::terminateEndsInTimeWhileTheDiskStalls()
{
    QTemporaryDir dir;
    ServerProcess server;
    qputenv("TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS", "30000");
    const bool started = start(server, dir.path(), {"--metrics", "127.0.0.1:0"});
    qunsetenv("TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS");
    QVERIFY(started);
    const ServicePorts ports = server.ports();
    std::atomic<bool> kept{true};
    std::thread sender([&] { kept = acknowledged(ports.post, "Welcome*<b>T</b>*stalled"); });
    // Taken in: its flush has begun.
    QTRY_COMPARE_WITH_TIMEOUT(
        kit::sample(kit::scrapeMetrics(ports.metrics), "tavernly_posts_received_total"), 1.0, 10000);
    QVERIFY(server.stop(12000)); // fault: the last flush waited for without a deadline (30 s)
    sender.join();
    QVERIFY(!kept && server.log().contains("last flush did not end in time"));
}

// The spool on a tmpfs of 48 KiB with room for one segment file (in a mount
// namespace of the server's own): a post whose write fails is reset and
// never stored; once the database has the rest, posts are taken again.
void TestServerProcess::fullSpoolDiskTakesPostsBack()
{
    const QString unshare = QStringLiteral("unshare");
    if (QProcess::execute(unshare, {"-rm", "true"}) != 0)
        SKIP_FOR_MISSING("unshare -rm (user and mount namespaces) is not available");
    QTemporaryDir dir;
    const QString mountAndStart = QStringLiteral("mkdir '%1/spool' && mount -t tmpfs -o size=48k,"
                                                 "nr_inodes=4 tmpfs '%1/spool' && exec \"$0\" \"$@\"")
                                      .arg(dir.path());
    ServerProcess server;
    // Each write a moment late, so that its post is made safe before it fails;
    // the budget over the filesystem, so that the full disk refuses first.
    qputenv("TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS", "30");
    const bool started = server.start(unshare, {"-rm", "sh", "-c", mountAndStart,
                                                TAVERNLY_SERVER_BINARY, "--post-limit", "0",
                                                "--spool-budget", "65536"}, nullptr, dir.path());
    qunsetenv("TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS");
    QVERIFY(started);
    const auto body = [](int i) { return "n=" + QByteArray::number(i) + " " + QByteArray(8000, 'x'); };
    QList<bool> kept;
    // 100 posts, then more until one is taken again. Faults: the budget
    // never given back the failed posts' bytes; the last segment, wholly
    // stored, kept while no new one can be made.
    for (int i = 0; i < 100 || (!kept.last() && i < 200); ++i) {
        if (i >= 100)
            QTest::qWait(100); // for the writer and the spool's thread to catch up
        kept << acknowledged(server.ports().post, "Welcome*<b>T</b>*" + body(i));
    }
    QVERIFY(kept.last() && server.log().contains("spool write failed"));
    QVERIFY(server.stop());
    // Fault: a post handed on to the writer before its write succeeded.
    const QHash<QByteArray, int> stored = storedBodies(dir.path());
    for (int i = 0; i < kept.size(); ++i)
        QVERIFY2(stored.value(body(i)) == (kept[i] ? 1 : 0), qPrintable(QString::number(i)));
}

void TestServerProcess::burstsAreStoredWhole_data()
{
    QTest::addColumn<int>("senders");
    QTest::addColumn<int>("postsEach");
    QTest::newRow("one sender back to back") << 1 << 2000;
    QTest::newRow("50 senders at once") << 50 << 40;
}

// Every post whose bytes went out whole is stored, and kept through a kill
// once the server has logged it stored.
void TestServerProcess::burstsAreStoredWhole()
{
    QFETCH(int, senders);
    QFETCH(int, postsEach);
    QTemporaryDir dir;
    ServerProcess first;
    QVERIFY(start(first, dir.path(), {"--post-limit", "0"})); // one address sends them all
    const ServicePorts ports = first.ports();
    QCOMPARE(exchange(ports.create, "Burst"), QByteArray("CREATED"));

    std::vector<std::thread> threads;
    std::atomic<int> unsent{0};
    std::atomic<int> finished{0};
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < postsEach; ++i) {
                const QByteArray post = "Burst*<b>T</b>*sender " + QByteArray::number(s)
                    + " post " + QByteArray::number(i);
                if (!blockingExchange(ports.post, post).isEmpty())
                    ++unsent;
            }
            ++finished;
            // Wakes the waiting loop: the last log line may have come before.
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(finished.load(), senders);
    QCOMPARE(unsent.load(), 0);
    const int total = senders * postsEach;
    QTRY_VERIFY_WITH_TIMEOUT(first.log().count(": stored,") >= total, 60000);
    const QByteArray log = first.log();
    QCOMPARE(log.count(": stored,"), total);
    QCOMPARE(log.count("dropped"), 0);
    first.kill();

    ServerProcess second;
    QVERIFY(start(second, dir.path()));
    const QByteArray page =
        blockingExchange(second.ports().http, "GET /dn.htm HTTP/1.0\r\n\r\n");
    QVERIFY2(page.contains("Burst</a> (" + QByteArray::number(total) + " messages)"),
             page.constData());
    if (senders == 1) { // kept in the order they were sent, newest first
        const QByteArray forum = blockingExchange(second.ports().http, "GET /tav/Burst.htm HTTP/1.0\r\n\r\n");
        qsizetype at = -1;
        for (int i = postsEach - 1; i >= postsEach - 100; --i) {
            const qsizetype next = forum.indexOf("sender 0 post " + QByteArray::number(i) + "<");
            QVERIFY2(next > at, qPrintable(QString::number(i)));
            at = next;
        }
    }
    QVERIFY(second.stop());
}

// Tag soup that leaves thousands of distinct formatting elements open, then
// thousands of blocks: the list port answers while it is dealt with, and the
// post is kept as text.
void TestServerProcess::listAnswersWhileAHostilePostIsParsed()
{
    QTemporaryDir dir;
    ServerProcess process;
    QVERIFY(start(process, dir.path()));
    const ServicePorts &ports = process.ports();
    QByteArray post = "Welcome*<b>Soup</b>*<div>";
    for (int i = 0; i < 2900; ++i)
        post += "<b id=" + QByteArray::number(i) + ">";
    post += "</div>";
    while (post.size() < 63 * 1024)
        post += "<div>x</div>";
    QVERIFY(blockingExchange(ports.post, post).isEmpty());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(blockingExchange(ports.list, "GETLIST"), QByteArray("Welcome"));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));

    const QByteArray page = blockingExchange(ports.http, "GET /tav/Welcome.htm HTTP/1.0\r\n\r\n");
    QVERIFY(page.contains("&lt;b id=0&gt;&lt;b id=1&gt;"));
    QVERIFY(!page.contains("<b id="));
    const qint64 peak = process.peakMemoryKiB();
    QVERIFY2(peak > 0 && peak < 1024 * 1024, qPrintable(QString::number(peak)));
    QVERIFY(process.stop());
}

// As an operator's scraper sees it: every line in the text format, and a
// post shows as exactly one more stored.
void TestServerProcess::metricsCountWhatHappened()
{
    QTemporaryDir dir;
    ServerProcess process;
    QVERIFY(start(process, dir.path(), {"--metrics", "127.0.0.1:0"}));
    const ServicePorts &ports = process.ports();
    QVERIFY(ports.metrics != 0);
    const auto scrape = [&] { return kit::scrapeMetrics(ports.metrics); };
    using kit::sample;
    const QByteArray before = scrape();
    const QByteArray stored = "tavernly_posts_stored_total";
    QCOMPARE(sample(before, stored), 0.0);
    QVERIFY(blockingExchange(ports.post, "Welcome*<b>T</b>*counted").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(process.log().contains("stored"), 10000);
    const QByteArray after = scrape();
    QCOMPARE(sample(after, stored), 1.0);
    QCOMPARE(sample(after, "tavernly_posts_received_total"), 1.0);
    QCOMPARE(sample(after, "tavernly_post_batch_size_count"), 1.0);
    QCOMPARE(sample(after, "tavernly_database_up"), 1.0);
    QCOMPARE(sample(after, "tavernly_connections_accepted_total{port=\"post\"}"), 1.0);
    QCOMPARE(sample(after, "tavernly_requests_total{outcome=\"taken\",port=\"post\"}"), 1.0);
    // The post's connection has ended, so the gauge is back where it was.
    const QByteArray open = "tavernly_connections_open{port=\"post\"}";
    QTRY_COMPARE_WITH_TIMEOUT(sample(scrape(), open), 0.0, 10000);

    static const QRegularExpression help(QStringLiteral("^# HELP (tavernly_[a-z_]+) \\S.*$"));
    static const QRegularExpression type(
        QStringLiteral("^# TYPE (tavernly_[a-z_]+) (counter|gauge|histogram)$"));
    static const QRegularExpression series(QStringLiteral(
        "^(tavernly_[a-z_]+?)(_total|_bucket|_sum|_count)?(\\{[a-z_]+=\"[^\"]*\"(,[a-z_]+=\"[^\"]*\")*\\})? "
        "[-+0-9.e]+$"));
    QStringList typed;
    for (const QByteArray &line : after.trimmed().split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (help.match(text).hasMatch())
            continue;
        if (const auto t = type.match(text); t.hasMatch()) {
            typed << t.captured(1);
            QCOMPARE(t.captured(2) == u"counter", t.captured(1).endsWith(u"_total"));
            continue;
        }
        const auto s = series.match(text);
        QVERIFY2(s.hasMatch(), line.constData());
        QVERIFY2(typed.contains(s.captured(1)) || typed.contains(s.captured(1) + s.captured(2)),
                 line.constData());
    }
    // HAProxy's check: an answer from memory, no page built.
    const QByteArray health = blockingExchange(ports.http, "GET /health HTTP/1.0\r\n\r\n");
    QVERIFY2(health.startsWith("HTTP/1.1 200 OK\r\n"), health.constData());
    QCOMPARE(sample(scrape(), "tavernly_page_cache_misses_total"), 0.0);
    QVERIFY(blockingExchange(ports.metrics, "GET /other HTTP/1.1\r\nHost: x\r\n\r\n")
                .startsWith("HTTP/1.1 404"));
    QVERIFY(process.stop());
}

// Hidden from the command line: the running server's page loses the message
// within a second or so, its neighbours keep their numbers, and mistakes get
// an exit status and a reason.
void TestServerProcess::moderatorHidesAMessageFromARunningServer()
{
    QTemporaryDir dir;
    ServerProcess process;
    QVERIFY(start(process, dir.path()));
    const ServicePorts &ports = process.ports();
    QCOMPARE(exchange(ports.create, "Spam"), QByteArray("CREATED"));
    for (const char *body : {"first", "buy now", "third"})
        QVERIFY(blockingExchange(ports.post, QByteArray("Spam*<b>T</b>*") + body).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(process.log().count("\"Spam\": stored"), 3, 10000);
    const auto page = [&] {
        return blockingExchange(ports.http, "GET /tav/Spam.htm HTTP/1.0\r\n\r\n");
    };
    QVERIFY(page().contains("<a id=\"m2\"></a><table"));

    QByteArray err;
    const QStringList data{"--data", dir.path()};
    QCOMPARE(runCommand(QStringList{"hide", "Spam", "2"} + data, &err), 0);
    QVERIFY2(err.contains("message 2 of \"Spam\" hidden by "), err.constData());
    QTRY_VERIFY_WITH_TIMEOUT(!page().contains("buy now"), 10000);
    const QByteArray hidden = page();
    QVERIFY(hidden.contains("id=\"m1\"") && hidden.contains("id=\"m3\""));
    QVERIFY(!hidden.contains("id=\"m2\""));
    QVERIFY(blockingExchange(ports.http, "GET /dn.htm HTTP/1.0\r\n\r\n")
                .contains("Spam</a> (2 messages)"));

    QCOMPARE(runCommand(QStringList{"hide", "Spam", "4"} + data, &err), 1);
    QVERIFY2(err.contains("\"Spam\" has no message 4"), err.constData());
    QCOMPARE(runCommand(QStringList{"unhide", "Nowhere", "1"} + data, &err), 1);
    QVERIFY2(err.contains("no forum \"Nowhere\""), err.constData());
    QCOMPARE(runCommand(QStringList{"hide", "Spam", "0"} + data, &err), 2);
    QCOMPARE(runCommand(QStringList{"hide", "Spam", "2"} + data, &err), 0);
    QVERIFY2(err.contains("already hidden"), err.constData());
    QVERIFY(process.stop());
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
