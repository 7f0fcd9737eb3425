// The tavernly-server program itself: command line, ready line, and what a
// killed server keeps.

#include "flood.h"
#include "metricsreader.h"
#include "plainsender.h"
#include "serverprocess.h"
#include "waits.h"
#include "tests/missingtool.h"
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
#include <QScopeGuard>
#include <QSqlError>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <atomic>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

using kit::acknowledged;
using kit::Flood;

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

// Runs the program to its end; its exit code, its standard error in *err
// (and its output in *out).
int runCommand(const QStringList &arguments, QByteArray *err, QByteArray *out = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), arguments);
    if (!process.waitForFinished(60000))
        return -1;
    *err = process.readAllStandardError();
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
class NotifyListener
{
public:
    explicit NotifyListener(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~NotifyListener() { ::close(m_fd); }
    QString path() const { return m_path; }
    // The next message, or nothing within timeoutMs.
    QByteArray next(int timeoutMs = 30000)
    {
        pollfd wait{m_fd, POLLIN, 0};
        char message[4096];
        const ssize_t size = ::poll(&wait, 1, timeoutMs) == 1
            ? ::recv(m_fd, message, sizeof message, 0) : -1;
        return size > 0 ? QByteArray(message, size) : QByteArray();
    }
    // Reads messages until one holds `what`; false if none did within timeoutMs.
    bool waitFor(const QByteArray &what, int timeoutMs = 30000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (next(int(deadline.remainingTime())).contains(what))
                return true;
        }
        return false;
    }

private:
    QString m_path;
    int m_fd = -1;
};

// Listening sockets the test holds as systemd holds its socket units': the
// servers it starts inherit them, and their queues outlive each server.
struct HeldSockets
{
    QHash<QString, int> fds; // at 100 and up, clear of the descriptors a child gets
    QHash<QString, quint16> ports;

    HeldSockets()
    {
        for (const char *name : {"list", "create", "post", "pages"}) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            ::bind(fd, reinterpret_cast<sockaddr *>(&address), length);
            ::listen(fd, 1024);
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
            ports.insert(QString::fromLatin1(name), ntohs(address.sin_port));
            fds.insert(QString::fromLatin1(name), ::fcntl(fd, F_DUPFD, 100 + int(fds.size())));
            ::close(fd);
        }
    }
    ~HeldSockets()
    {
        for (const int fd : std::as_const(fds))
            ::close(fd);
    }
    // Arguments for ServerProcess::start with bash as its binary: the server
    // is given the sockets from descriptor 3 on in the order of `names`, as
    // systemd passes them.
    QStringList arguments(const QStringList &names, const QStringList &options) const
    {
        QString moves;
        for (int i = 0; i < names.size(); ++i)
            moves += QStringLiteral(" %1<&%2").arg(3 + i).arg(fds.value(names.at(i)));
        const QString script = QStringLiteral("exec%1; LISTEN_PID=$$ LISTEN_FDS=%2 "
                                              "LISTEN_FDNAMES=%3 exec \"$@\"")
                                   .arg(moves)
                                   .arg(names.size())
                                   .arg(names.join(u':'));
        return QStringList{"-c", script, "bash", TAVERNLY_SERVER_BINARY} + options;
    }
};

// The spool's oldest segment file, named by its first post's number.
QString oldestSegment(const QString &dataDir)
{
    const QStringList names = QDir(dataDir + QStringLiteral("/spool"))
                                  .entryList({QStringLiteral("*.seg")}, QDir::Files, QDir::Name);
    return names.value(0);
}

// Runs SQL on the test's PostgreSQL as its owner (a superuser).
bool adminExec(const QString &sql)
{
    if (!QSqlDatabase::contains(QStringLiteral("admin"))
        && !testPostgreSQL()->open(QStringLiteral("admin"), nullptr))
        return false;
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("admin")));
    // Its own commits never wait for a standby the test pretends to have.
    query.exec(QStringLiteral("SET synchronous_commit = local"));
    const bool done = query.exec(sql) && (!query.isSelect() || query.next());
    if (!done)
        qWarning("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
    return done && (!query.isSelect() || query.value(0).toBool());
}

bool cutSessions()
{
    return adminExec(QStringLiteral(
        "SELECT count(pg_terminate_backend(pid)) >= 0 FROM pg_stat_activity "
        "WHERE datname = current_database() AND pid <> pg_backend_pid()"));
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
    void databaseFaultsLoseNoAcknowledgedPost_data();
    void databaseFaultsLoseNoAcknowledgedPost();
    void refusedPostIsQuarantinedUntilRestored();
    void terminateEndsInTimeWhileTheDiskStalls();
    void fullSpoolDiskTakesPostsBack();
    void burstsAreStoredWhole_data();
    void burstsAreStoredWhole();
    void listAnswersWhileAHostilePostIsParsed();
    void metricsCountWhatHappened();
    void moderatorHidesAMessageFromARunningServer();
    void shippedAlertsAndDashboardNameExportedMetrics();
    void systemdHearsReadyOnceThePortsListenThenTheWatchdog();
    void restartOnSystemdsSocketsRefusesNobody();
    void backupDuringAFloodHoldsWhatWasCommitted();

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
                               "--change-poll", "--spool-budget", "hide", "unhide", "drain",
                               "quarantine", "backup"})
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
    const QStringList database = databaseOptions();
    const QStringList options = database + QStringList{"--post-limit", "0"}; // one sender address
    QVERIFY(start(server, dir.path(), options));
    Flood flood(server.ports().post, "kills ");
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
            QVERIFY(testPostgreSQL() ? lock.exec(QStringLiteral("BEGIN"))
                        && lock.exec(QStringLiteral("LOCK TABLE messages IN EXCLUSIVE MODE"))
                                     : lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        }
        QVERIFY(flood.grows((kill == 1 ? 1500 : 0) + random.bounded(300, 1500)));
        server.kill();
        if (kill == 1) {
            QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
            lock = QSqlQuery();
            holder.close();
            holder = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        }
        QVERIFY(start(server, dir.path(), options));
        flood.setPort(server.ports().post);
    }
    QVERIFY(flood.grows(200));
    flood.stop();
    server.stop();
    const QString wrong = flood.lostOrTwice(storedBodies(dir.path()));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QVERIFY(flood.count() > 1000);
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

void TestServerProcess::databaseFaultsLoseNoAcknowledgedPost_data()
{
    QTest::addColumn<QString>("fault");
    // Each catches the writer taking the database's own failure for a
    // refusal of the posts (refused, spool trimmed past them).
    QTest::newRow("SQLite: its disk fills during a flood, then grows") << "disk full";
    QTest::newRow("PostgreSQL: read-only for seconds") << "read-only";
    // Catches a batch sent again, after its commit's reply was lost, without
    // reading the spool's mark (stored twice).
    QTest::newRow("PostgreSQL: sessions cut while commits wait") << "sessions cut";
}

// A flood through a fault of the database: posts are still acknowledged
// from the spool, /health and tavernly_database_up say the database fails
// while it does, and the server is killed as soon as it stores again
// (mid catch-up: catches a spool trimmed past posts not yet stored). After
// a start on the same folder, every acknowledged post is stored exactly once.
void TestServerProcess::databaseFaultsLoseNoAcknowledgedPost()
{
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const bool postgresql = testPostgreSQL().has_value();
    if (postgresql != (fault != "disk full"))
        QSKIP("for the other database engine");
    QStringList options =
        databaseOptions() + QStringList{"--post-limit", "0", "--metrics", "127.0.0.1:0"};
    const QString small = dir.filePath("small");
    auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", small}); });
    if (fault == "disk full") {
        if (::geteuid() != 0)
            SKIP_FOR_MISSING("mounting a small tmpfs needs root");
        QVERIFY(QDir().mkpath(small));
        QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", small}), 0);
        options << "--database" << "sqlite:" + small + "/tavernly.sqlite";
    } else {
        unmount.dismiss();
    }
    // Whatever happens to the test, the database is as it was for the next one.
    auto mended = qScopeGuard([postgresql] {
        if (postgresql)
            adminExec("ALTER DATABASE " + testPostgreSQL()->name
                      + " RESET default_transaction_read_only")
                && adminExec("ALTER SYSTEM RESET synchronous_standby_names")
                && adminExec("SELECT pg_reload_conf()");
    });
    ServerProcess server;
    QVERIFY(start(server, dir.path(), options));
    Flood flood(server.ports().post, fault.toUtf8() + ' ');
    QVERIFY(flood.grows(300));
    const auto syncRepWaits = [] {
        const QDeadlineTimer deadline(30000);
        while (!adminExec("SELECT count(*) > 0 FROM pg_stat_activity "
                          "WHERE wait_event = 'SyncRep'")) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
        }
        return true;
    };
    if (fault == "read-only") {
        QVERIFY(adminExec("ALTER DATABASE " + testPostgreSQL()->name
                          + " SET default_transaction_read_only = on"));
        QVERIFY(cutSessions()); // the setting holds for new sessions
    } else if (fault == "sessions cut") {
        QVERIFY(adminExec("ALTER SYSTEM SET synchronous_standby_names = 'nowhere'"));
        QVERIFY(adminExec("SELECT pg_reload_conf()"));
        for (int cut = 0; cut < 3; ++cut) {
            QVERIFY(syncRepWaits()); // a commit done here, its reply held back
            QVERIFY(cutSessions());
        }
        QVERIFY(syncRepWaits());
    }
    if (fault != "sessions cut") {
        QVERIFY2(waitUntil([&] { return server.log().contains("the database fails to store"); },
                           60000),
                 server.log().right(1500).constData());
        const QByteArray metrics = kit::scrapeMetrics(server.ports().metrics);
        QCOMPARE(kit::sample(metrics, "tavernly_database_up"), 0.0);
        QVERIFY(blockingExchange(server.ports().http, "GET /health HTTP/1.0\r\n\r\n")
                    .startsWith("HTTP/1.1 503"));
    }
    QVERIFY(flood.grows(6000)); // spooled and acknowledged meanwhile: segments behind
    if (fault == "sessions cut") {
        // A held commit cut, then no write taken: the writer finds that
        // batch stored (by the mark), the spool is trimmed after it, and the
        // next batch waits, far behind the spool. Killed there.
        const QString oldest = oldestSegment(dir.path());
        QVERIFY(adminExec("ALTER DATABASE " + testPostgreSQL()->name
                          + " SET default_transaction_read_only = on"));
        QVERIFY(syncRepWaits() && cutSessions());
        QVERIFY(waitUntil([&] { return server.log().contains("the database fails to store"); },
                          60000));
        (void)waitUntil([&] { return oldestSegment(dir.path()) != oldest; }, 2000); // trimmed
        server.kill();
        QVERIFY(adminExec("ALTER DATABASE " + testPostgreSQL()->name
                          + " RESET default_transaction_read_only")
                && adminExec("ALTER SYSTEM RESET synchronous_standby_names")
                && adminExec("SELECT pg_reload_conf()"));
    } else {
        const qsizetype storedBefore = server.log().count(": stored");
        if (fault == "disk full")
            QCOMPARE(QProcess::execute("mount", {"-o", "remount,size=64m", small}), 0);
        else
            QVERIFY(adminExec("ALTER DATABASE " + testPostgreSQL()->name
                              + " RESET default_transaction_read_only")
                    && cutSessions());
        QVERIFY(waitUntil([&] { return server.log().count(": stored") > storedBefore; }, 60000));
        server.kill(); // catching up
    }
    QVERIFY(start(server, dir.path(), options));
    flood.setPort(server.ports().post);
    QVERIFY(flood.grows(200));
    flood.stop();
    QVERIFY(server.stop());
    const QString wrong =
        flood.lostOrTwice(storedBodies(fault == "disk full" ? small : dir.path()));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    qInfo("%s: %d acknowledged, every one stored once", qPrintable(fault), flood.count());
}

// A post the database refuses (a check the test adds) while it stores its
// neighbours is quarantined whole, listed, counted, and stored by restore
// once the check is gone, once however often restore runs.
void TestServerProcess::refusedPostIsQuarantinedUntilRestored()
{
    QTemporaryDir dir;
    ServerProcess server;
    const QStringList database = databaseOptions();
    QVERIFY(start(server, dir.path(), database + QStringList{"--metrics", "127.0.0.1:0"}));
    QVERIFY(openDatabase(dir.path(), QStringLiteral("check")));
    auto closeCheck = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("check")); });
    QSqlQuery check(QSqlDatabase::database(QStringLiteral("check")));
    QVERIFY2(testPostgreSQL()
                 ? check.exec("ALTER TABLE messages ADD CONSTRAINT refusal "
                              "CHECK (position('refused'::bytea IN body) = 0)")
                 : check.exec("CREATE TRIGGER refusal BEFORE INSERT ON messages "
                              "WHEN CAST(NEW.body AS TEXT) LIKE '%refused%' "
                              "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"),
             qPrintable(check.lastError().text()));
    for (const char *body : {"before", "refused once", "after"})
        QVERIFY(acknowledged(server.ports().post, QByteArray("Welcome*<b>Q</b>*") + body));
    QTRY_COMPARE_WITH_TIMEOUT(server.log().count("\"Welcome\": stored"), 2, 20000);
    QVERIFY(server.log().contains("\"Welcome\": quarantined"));
    QCOMPARE(kit::sample(kit::scrapeMetrics(server.ports().metrics),
                         "tavernly_posts_quarantined_total"),
             1.0);
    QByteArray err;
    QByteArray out;
    const QStringList data = QStringList{"--data", dir.path()} + database;
    QCOMPARE(runCommand(data + QStringList{"quarantine"}, &err, &out), 0);
    QVERIFY2(out.count('\n') == 1 && out.contains("to \"Welcome\", 29 bytes:"), out.constData());
    QCOMPARE(runCommand(data + QStringList{"quarantine", "restore"}, &err), 1); // still refused
    QVERIFY(check.exec(testPostgreSQL() ? "ALTER TABLE messages DROP CONSTRAINT refusal"
                                        : "DROP TRIGGER refusal"));
    QCOMPARE(runCommand(data + QStringList{"quarantine", "restore"}, &err), 0);
    QVERIFY2(err.contains("1 posts restored, 0 kept"), err.constData());
    QCOMPARE(runCommand(data + QStringList{"quarantine", "restore"}, &err), 0);
    QCOMPARE(runCommand(data + QStringList{"quarantine"}, &err, &out), 0);
    QVERIFY(out.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(blockingExchange(server.ports().http,
                                              "GET /tav/Welcome.htm HTTP/1.0\r\n\r\n")
                                 .contains("refused once"),
                             10000);
    QVERIFY(server.stop());
    const QHash<QByteArray, int> stored = storedBodies(dir.path());
    QCOMPARE(stored.value("refused once"), 1);
    QCOMPARE(stored.value("after"), 1);
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

// The alert rules pass promtool, and they and the dashboard query only
// metrics the server defines.
void TestServerProcess::shippedAlertsAndDashboardNameExportedMetrics()
{
    const QString source = QStringLiteral(TAVERNLY_SOURCE_DIR);
    QFile definitions(source + "/server/base/servermetrics.cpp");
    QFile rules(source + "/deploy/tavernly-alerts.yml");
    QFile dashboard(source + "/deploy/tavernly-dashboard.json");
    QVERIFY(definitions.open(QIODevice::ReadOnly) && rules.open(QIODevice::ReadOnly)
            && dashboard.open(QIODevice::ReadOnly));
    QStringList exported;
    static const QRegularExpression defined(QStringLiteral("\\.Name\\(\"(tavernly_[a-z_]+)\"\\)"));
    for (const auto &match : defined.globalMatch(QString::fromUtf8(definitions.readAll())))
        exported << match.captured(1);
    QString queries = QString::fromUtf8(rules.readAll());
    const QJsonArray panels =
        QJsonDocument::fromJson(dashboard.readAll()).object().value("panels").toArray();
    for (const QJsonValue &panel : panels) {
        for (const QJsonValue &target : panel.toObject().value("targets").toArray())
            queries += u'\n' + target.toObject().value("expr").toString();
    }
    static const QRegularExpression named(QStringLiteral("tavernly_[a-z_]+"));
    static const QRegularExpression series(QStringLiteral("_(bucket|sum|count)$"));
    int names = 0;
    for (const auto &match : named.globalMatch(queries)) {
        QString name = match.captured(0);
        if (!exported.contains(name))
            name.remove(series); // a histogram's series
        QVERIFY2(exported.contains(name), qPrintable(match.captured(0)));
        ++names;
    }
    QVERIFY(panels.size() >= 10 && names >= 20); // read, not skipped
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!promtool.isEmpty(), "promtool (Debian package prometheus) is not installed");
    QProcess check;
    check.start(promtool, {"check", "rules", rules.fileName()});
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAll().constData());
}

// Started as systemd starts a Type=notify service: READY=1 comes once the
// ports listen (the listening line is out before it), then WATCHDOG=1 at
// half the interval for as long as it runs, and STOPPING=1 at the stop.
void TestServerProcess::systemdHearsReadyOnceThePortsListenThenTheWatchdog()
{
    QTemporaryDir dir;
    NotifyListener systemd(dir.filePath(QStringLiteral("notify")));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), systemd.path());
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY),
                  {"--data", dir.filePath("data"), "--list-port", "0", "--create-port", "0",
                   "--post-port", "0", "--http-port", "0"});
    const QByteArray ready = systemd.next(60000);
    QVERIFY2(ready.startsWith("READY=1\nSTATUS=serving "), ready.constData());
    QVERIFY(ready.contains("0 posts wait in the spool"));
    // Written before READY=1 was sent: there without waiting.
    process.waitForReadyRead(0);
    const QByteArray line = process.readAllStandardOutput();
    static const QRegularExpression listening(QStringLiteral("^listening list=(\\d+) "));
    const auto match = listening.match(QString::fromUtf8(line));
    QVERIFY2(match.hasMatch(), line.constData());
    QCOMPARE(blockingExchange(quint16(match.captured(1).toUInt()), "GETLIST"),
             QByteArray("Welcome"));
    for (int i = 0; i < 5; ++i)
        QVERIFY2(systemd.waitFor("WATCHDOG=1", 20000), qPrintable(QString::number(i)));
    process.terminate();
    QVERIFY(systemd.waitFor("STOPPING=1\n", 20000));
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
}

// The four ports on sockets the test holds, passed as systemd passes its
// socket units' (their names in another order at each start). The server is
// stopped and started again while eight senders post without pause, one post
// arriving in two halves across the stop: no post fails, and every one
// acknowledged is stored once.
void TestServerProcess::restartOnSystemdsSocketsRefusesNobody()
{
    QTemporaryDir dir;
    NotifyListener systemd(dir.filePath(QStringLiteral("notify")));
    HeldSockets held;
    ServerProcess server;
    server.process().setProcessEnvironment([&] {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), systemd.path());
        return environment;
    }());
    const QStringList options{"--post-limit", "0", "--metrics", "127.0.0.1:0"};
    QString error;
    QVERIFY2(server.start("/bin/bash", held.arguments({"pages", "post", "list", "create"}, options),
                          &error, dir.path()),
             qPrintable(error));
    QCOMPARE(server.ports().list, held.ports.value("list"));
    QCOMPARE(server.ports().http, held.ports.value("pages"));
    QCOMPARE(blockingExchange(held.ports.value("list"), "GETLIST"), QByteArray("Welcome"));
    QVERIFY(blockingExchange(held.ports.value("pages"), "GET /dn.htm HTTP/1.0\r\n\r\n")
                .startsWith("HTTP/1.1 200 OK"));
    QVERIFY(systemd.waitFor("READY=1"));

    // Half a post, taken in by the first server before the stop.
    const int slow = kit::connectLoopback(held.ports.value("post"));
    const timeval wait{20, 0};
    ::setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const QByteArray halves = "Welcome*<b>Slow</b>*sent in two halves";
    QCOMPARE(::send(slow, halves.constData(), 20, MSG_NOSIGNAL), ssize_t(20));
    const QByteArray open = "tavernly_connections_open{port=\"post\"}";
    QTRY_COMPARE_WITH_TIMEOUT(kit::sample(kit::scrapeMetrics(server.ports().metrics), open), 1.0,
                              20000);
    // Soon: the half post has 10 s from its connection to arrive whole.
    Flood flood(held.ports.value("post"), "restart ", 8, 0);
    QVERIFY(waitUntil([&] { return flood.count() >= 20; }, 5000));
    server.process().terminate();
    QVERIFY(systemd.waitFor("STOPPING=1"));
    const qsizetype rest = halves.size() - 20;
    QCOMPARE(::send(slow, halves.constData() + 20, size_t(rest), MSG_NOSIGNAL), ssize_t(rest));
    ::shutdown(slow, SHUT_WR);
    char byte = 0;
    QCOMPARE(::recv(slow, &byte, 1, 0), ssize_t(0)); // closed in order: kept
    ::close(slow);
    QVERIFY(server.stop());
    const int beforeRestart = flood.count();

    QVERIFY2(server.start("/bin/bash", held.arguments({"create", "list", "pages", "post"}, options),
                          &error, dir.path()),
             qPrintable(error));
    QCOMPARE(server.ports().post, held.ports.value("post"));
    QVERIFY(waitUntil([&] { return flood.count() >= beforeRestart + 300; }, 60000));
    flood.stop();
    QCOMPARE(flood.failed(), 0);
    QVERIFY(server.stop());
    const QHash<QByteArray, int> stored = storedBodies(dir.path());
    QCOMPARE(flood.lostOrTwice(stored), QString());
    QCOMPARE(stored.value("sent in two halves"), 1);
}

// A backup taken while posts keep coming: the copy opens, passes SQLite's
// integrity check and holds every message committed before it began.
void TestServerProcess::backupDuringAFloodHoldsWhatWasCommitted()
{
    QTemporaryDir dir;
    ServerProcess server;
    QVERIFY(start(server, dir.path(), {"--post-limit", "0"}));
    // A reader from before the flood keeps every commit since in the
    // write-ahead log: a copy of the database file alone would miss them.
    QVERIFY(openDatabase(dir.path(), QStringLiteral("reader")));
    QSqlQuery reader(QSqlDatabase::database(QStringLiteral("reader")));
    QVERIFY(reader.exec(QStringLiteral("BEGIN")));
    QVERIFY(reader.exec(QStringLiteral("SELECT count(*) FROM messages")) && reader.next());
    Flood flood(server.ports().post, "backup ", 4, 0);
    QVERIFY(waitUntil([&] { return flood.count() >= 500; }, 60000));
    const QHash<QByteArray, int> committed = storedBodies(dir.path());
    const QString copy = dir.filePath(QStringLiteral("copy.sqlite"));
    QByteArray err;
    QCOMPARE(runCommand({"--data", dir.path(), "backup", copy}, &err), 0);
    const int keptByThen = flood.count();
    QVERIFY(waitUntil([&] { return flood.count() >= keptByThen + 100; }, 60000));
    flood.stop();
    QCOMPARE(flood.failed(), 0);
    QVERIFY2(err.contains("messages written to"), err.constData());
    QCOMPARE(runCommand({"--data", dir.path(), "backup", copy}, &err), 1); // never overwritten
    QVERIFY(reader.exec(QStringLiteral("ROLLBACK")));
    reader = QSqlQuery();
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    QVERIFY(server.stop());

    QVERIFY(committed.size() > 100);
    QHash<QByteArray, int> copied;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "copy");
        db.setDatabaseName(copy);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("ok"));
        QVERIFY(query.exec(QStringLiteral("SELECT body FROM messages")));
        while (query.next())
            ++copied[query.value(0).toByteArray()];
    }
    QSqlDatabase::removeDatabase(QStringLiteral("copy"));
    for (auto it = committed.cbegin(); it != committed.cend(); ++it)
        QVERIFY2(copied.value(it.key()) == 1, it.key().constData());
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
