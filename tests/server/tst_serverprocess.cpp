// The tavernly-server program itself: command line, ready line, and what a
// killed server keeps.

#include "waits.h"
#include "wireclient.h"
#include "server/store/databaseurl.h"

#include <QElapsedTimer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

struct Ports
{
    quint16 list = 0, create = 0, post = 0, http = 0, metrics = 0;
};

// A blocking exchange as a plain sender makes it: connect, send, end the
// sending half, then read until the server closes (the reply, if any).
QByteArray blockingExchange(quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)
               == ssize_t(request.size())) {
        ::shutdown(fd, SHUT_WR);
        char buffer[65536];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, got);
    } else {
        reply = "<not sent>";
    }
    ::close(fd);
    return reply;
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

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

// A sample's value in a metrics text ("name{labels} value"); -1 if absent.
double sample(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
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
    void burstsAreStoredWhole_data();
    void burstsAreStoredWhole();
    void listAnswersWhileAHostilePostIsParsed();
    void metricsCountWhatHappened();
    void moderatorHidesAMessageFromARunningServer();

private:
    bool start(QProcess &process, const QString &dataDir, Ports *ports,
               const QStringList &more = {});
    QByteArray exchange(quint16 port, const QByteArray &request,
                        WireClient::After after = WireClient::After::WaitForReply);
};

bool TestServerProcess::start(QProcess &process, const QString &dataDir, Ports *ports,
                              const QStringList &more)
{
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY),
                  QStringList{"--data", dataDir, "--list-port", "0", "--create-port", "0",
                              "--post-port", "0", "--http-port", "0"}
                      + more);
    static const QRegularExpression ready(QStringLiteral(
        "^listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)(?: metrics=(\\d+))?\n"));
    QByteArray out;
    QRegularExpressionMatch match;
    const bool started = waitUntil([&] {
        out += process.readAllStandardOutput();
        match = ready.match(QString::fromUtf8(out));
        return match.hasMatch() || process.state() == QProcess::NotRunning;
    }, 10000);
    if (!started || !match.hasMatch()) {
        qWarning("no ready line: %s %s", out.constData(), process.readAllStandardError().data());
        return false;
    }
    *ports = {quint16(match.captured(1).toUInt()), quint16(match.captured(2).toUInt()),
              quint16(match.captured(3).toUInt()), quint16(match.captured(4).toUInt()),
              quint16(match.captured(5).toUInt())};
    return ports->list && ports->create && ports->post && ports->http;
}

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
                               "--metrics", "--spool-budget", "hide", "unhide", "drain"})
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
    QProcess first;
    Ports ports;
    QVERIFY(start(first, dir.path(), &ports));
    QCOMPARE(exchange(ports.create, "Kept"), QByteArray("CREATED"));
    exchange(ports.post, "Kept*<b>Posted</b>*before the kill", WireClient::After::CloseWhenSent);
    QByteArray log;
    WAIT_VERIFY((log += first.readAllStandardError()).contains("stored"));
    first.kill();
    QVERIFY(first.waitForFinished(10000));

    QProcess second;
    QVERIFY(start(second, dir.path(), &ports));
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome*Kept"));
    WireClient http(ports.http);
    http.send("GET /tav/Kept.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    WAIT_VERIFY(http.reply().contains("</html>"));
    QVERIFY(http.reply().contains("before the kill"));
    second.terminate();
    QVERIFY(second.waitForFinished(10000));
}

void TestServerProcess::terminateEndsCleanly()
{
    QTemporaryDir dir;
    QProcess process;
    Ports ports;
    QVERIFY(start(process, dir.path(), &ports));
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome"));
    // Posts taken in just before: each still gets its line once stored.
    for (int i = 0; i < 50; ++i)
        QCOMPARE(blockingExchange(ports.post, "Welcome*<b>Last</b>*" + QByteArray::number(i)),
                 QByteArray());
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError().count("\"Welcome\": stored"), 50);
}

// Senders post without pause, each counting a post only once the server
// closed in order; the server is killed three times at random moments and
// started again on the same folder. Every acknowledged post is then stored
// exactly once: none lost with the process, none stored twice from the spool.
void TestServerProcess::killsDuringAFloodLoseNoAcknowledgedPost()
{
    QTemporaryDir dir;
    QProcess server;
    Ports ports;
    // Run through scripts/pg-throwaway.sh (tst_serverprocess_postgresql): on PostgreSQL.
    const std::optional<DatabaseUrl> postgresql = testPostgreSQL();
    const QStringList database = postgresql
        ? QStringList{"--database", QString::fromUtf8(qgetenv("TAVERNLY_TEST_DATABASE"))}
        : QStringList();
    QVERIFY(start(server, dir.path(), &ports, database));
    std::atomic<quint16> postPort{ports.post};
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
    QByteArray log;
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
        QVERIFY(waitUntil([&] {
            log += server.readAllStandardError();
            return acknowledgedCount >= target;
        }, 60000));
        server.kill();
        QVERIFY(server.waitForFinished(10000));
        if (kill == 1) {
            QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
            lock = QSqlQuery();
            holder.close();
            holder = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        }
        QVERIFY(start(server, dir.path(), &ports, database));
        postPort = ports.post;
    }
    const int target = acknowledgedCount + 200;
    QVERIFY(waitUntil([&] { return acknowledgedCount >= target; }, 60000));
    done = true;
    for (std::thread &thread : threads)
        thread.join();
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    log += server.readAllStandardError();
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
    QProcess server;
    Ports ports;
    const std::optional<DatabaseUrl> postgresql = testPostgreSQL();
    const QStringList database = postgresql
        ? QStringList{"--database", QString::fromUtf8(qgetenv("TAVERNLY_TEST_DATABASE"))}
        : QStringList();
    QVERIFY(start(server, dir.path(), &ports, database));
    QCOMPARE(exchange(ports.create, "Held"), QByteArray("CREATED"));
    QVERIFY(acknowledged(ports.post, "Held*<b>T</b>*before the lock"));
    QByteArray log;
    WAIT_VERIFY((log += server.readAllStandardError()).contains("stored"));
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
        server.terminate();
        QVERIFY(server.waitForFinished(15000));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        log += server.readAllStandardError();
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
    QVERIFY(start(server, dir.path(), &ports, database));
    const QByteArray page = blockingExchange(ports.http, "GET /dn.htm HTTP/1.0\r\n\r\n");
    QVERIFY2(page.contains("Held</a> (21 messages)"), page.constData());
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(storedBodies(dir.path()).value("locked 19"), 1);
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
    QProcess first;
    Ports ports;
    QVERIFY(start(first, dir.path(), &ports));
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
    // The server's log is read meanwhile, so that it never waits on a full pipe.
    QByteArray log;
    const bool sent = waitUntil([&] {
        log += first.readAllStandardError();
        return finished == senders;
    }, 120000);
    for (std::thread &thread : threads)
        thread.join();
    QVERIFY(sent);
    QCOMPARE(unsent.load(), 0);
    const int total = senders * postsEach;
    QVERIFY(waitUntil([&] {
        log += first.readAllStandardError();
        return log.count(": stored,") >= total;
    }, 60000));
    QCOMPARE(log.count(": stored,"), total);
    QCOMPARE(log.count("dropped"), 0);
    first.kill();
    QVERIFY(first.waitForFinished(10000));

    QProcess second;
    QVERIFY(start(second, dir.path(), &ports));
    const QByteArray page =
        blockingExchange(ports.http, "GET /dn.htm HTTP/1.0\r\n\r\n");
    QVERIFY2(page.contains("Burst</a> (" + QByteArray::number(total) + " messages)"),
             page.constData());
    if (senders == 1) { // kept in the order they were sent, newest first
        const QByteArray forum = blockingExchange(ports.http, "GET /tav/Burst.htm HTTP/1.0\r\n\r\n");
        qsizetype at = -1;
        for (int i = postsEach - 1; i >= postsEach - 100; --i) {
            const qsizetype next = forum.indexOf("sender 0 post " + QByteArray::number(i) + "<");
            QVERIFY2(next > at, qPrintable(QString::number(i)));
            at = next;
        }
    }
    second.terminate();
    QVERIFY(second.waitForFinished(10000));
}

// Tag soup that leaves thousands of distinct formatting elements open, then
// thousands of blocks: the list port answers while it is dealt with, and the
// post is kept as text.
void TestServerProcess::listAnswersWhileAHostilePostIsParsed()
{
    QTemporaryDir dir;
    QProcess process;
    Ports ports;
    QVERIFY(start(process, dir.path(), &ports));
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
    const qint64 peak = peakMemoryKiB(process.processId());
    QVERIFY2(peak > 0 && peak < 1024 * 1024, qPrintable(QString::number(peak)));
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
}

// As an operator's scraper sees it: every line in the text format, and a
// post shows as exactly one more stored.
void TestServerProcess::metricsCountWhatHappened()
{
    QTemporaryDir dir;
    QProcess process;
    Ports ports;
    QVERIFY(start(process, dir.path(), &ports, {"--metrics", "127.0.0.1:0"}));
    QVERIFY(ports.metrics != 0);
    const auto scrape = [&] {
        const QByteArray answer =
            blockingExchange(ports.metrics, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        if (!answer.startsWith("HTTP/1.1 200 OK\r\n")
            || !answer.contains("\r\nContent-Type: text/plain; version=0.0.4"))
            return QByteArray("<not a metrics answer>");
        return answer.mid(answer.indexOf("\r\n\r\n") + 4);
    };
    const QByteArray before = scrape();
    const QByteArray stored = "tavernly_posts_stored_total";
    QCOMPARE(sample(before, stored), 0.0);
    QVERIFY(blockingExchange(ports.post, "Welcome*<b>T</b>*counted").isEmpty());
    QByteArray log;
    WAIT_VERIFY((log += process.readAllStandardError()).contains("stored"));
    const QByteArray after = scrape();
    QCOMPARE(sample(after, stored), 1.0);
    QCOMPARE(sample(after, "tavernly_posts_received_total"), 1.0);
    QCOMPARE(sample(after, "tavernly_post_batch_size_count"), 1.0);
    QCOMPARE(sample(after, "tavernly_database_up"), 1.0);
    QCOMPARE(sample(after, "tavernly_connections_accepted_total{port=\"post\"}"), 1.0);
    QCOMPARE(sample(after, "tavernly_requests_total{outcome=\"taken\",port=\"post\"}"), 1.0);

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
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
}

// Hidden from the command line: the running server's page loses the message
// within a second or so, its neighbours keep their numbers, and mistakes get
// an exit status and a reason.
void TestServerProcess::moderatorHidesAMessageFromARunningServer()
{
    QTemporaryDir dir;
    QProcess process;
    Ports ports;
    QVERIFY(start(process, dir.path(), &ports));
    QCOMPARE(exchange(ports.create, "Spam"), QByteArray("CREATED"));
    for (const char *body : {"first", "buy now", "third"})
        QVERIFY(blockingExchange(ports.post, QByteArray("Spam*<b>T</b>*") + body).isEmpty());
    QByteArray log;
    WAIT_COMPARE((log += process.readAllStandardError()).count("\"Spam\": stored"), 3);
    const auto page = [&] {
        return blockingExchange(ports.http, "GET /tav/Spam.htm HTTP/1.0\r\n\r\n");
    };
    QVERIFY(page().contains("<a id=\"m2\"></a><table"));

    QByteArray err;
    const QStringList data{"--data", dir.path()};
    QCOMPARE(runCommand(QStringList{"hide", "Spam", "2"} + data, &err), 0);
    QVERIFY2(err.contains("message 2 of \"Spam\" hidden by "), err.constData());
    QVERIFY(waitUntil([&] { return !page().contains("buy now"); }, 3000));
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
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
