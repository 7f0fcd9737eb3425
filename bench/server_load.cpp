// The forum server under load, against its targets; exits non-zero when a
// post is lost, a page request fails, or a target is missed.
//
//   bench_server_load [--seconds 10] [--clients 50] [--messages 2000000] [--server PATH]
//
// Every phase starts the server on free loopback ports with a fresh data
// folder. Senders are threads making plain blocking exchanges: connect, send,
// close. Stored posts are counted on the server's start page once it has
// taken everything in.

#include "serverprobe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>
#include <thread>

using namespace serverprobe;

namespace {

int g_lost = 0;   // posts or pages lost: the server is wrong
int g_missed = 0; // targets missed: the server is slow

void verdict(const char *what, double value, const char *unit, double target, bool below)
{
    const bool met = below ? value < target : value >= target;
    std::printf("  %-58s %10.2f %-5s target %s %g: %s\n", what, value, unit, below ? "<" : ">=",
                target, met ? "met" : "MISSED");
    if (!met)
        ++g_missed;
}

void checkStored(const char *what, qint64 sent, qint64 stored)
{
    std::printf("  %-58s %lld sent, %lld stored: %s\n", what, (long long)sent, (long long)stored,
                sent == stored ? "none lost" : "POSTS LOST");
    if (sent != stored)
        ++g_lost;
}

// Waits until the forum shows `expected` messages, or for a while after it stops growing.
qint64 waitStored(const Server &server, const QString &forum, qint64 expected)
{
    qint64 stored = -1;
    qint64 last = -1;
    double grewAt = nowMs();
    while ((stored = storedIn(server.ports().http, forum)) < expected && nowMs() - grewAt < 5000) {
        if (stored != last)
            grewAt = nowMs();
        last = stored;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return stored;
}

void create(const Server &server, const QByteArray &name)
{
    exchange(server.ports().create, name);
}

// `senders` threads, each sending `each` posts back to back (or until *stop).
qint64 sendPosts(const Server &server, int senders, qint64 each, const QByteArray &forum,
                 const std::atomic<bool> *stop = nullptr)
{
    std::atomic<qint64> sent{0};
    std::vector<std::thread> threads;
    const QByteArray post = forum + "*<b>Load test</b>*" + QByteArray(400, 'x') + "<br>\r\nend";
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&] {
            for (qint64 i = 0; i < each && !(stop && *stop); ++i) {
                bool ok = false;
                exchange(server.ports().post, post, &ok);
                if (ok)
                    ++sent;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    return sent;
}

QByteArray hostilePost(const QByteArray &forum)
{
    QByteArray post = forum + "*<b>Soup</b>*<div>";
    for (int i = 0; i < 2900; ++i)
        post += "<b id=" + QByteArray::number(i) + ">";
    post += "</div>";
    while (post.size() + 12 <= 64 * 1024)
        post += "<div>x</div>";
    return post;
}

// 200 forums sharing `messages` messages, written straight into the store's tables.
bool fillDatabase(const QString &program, const QString &dir, qint64 messages)
{
    { Server once(program, dir); } // lays out the database
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
    db.setDatabaseName(QDir(dir).filePath(QStringLiteral("tavernly.sqlite")));
    bool ok = db.open();
    QSqlQuery query(db);
    ok = ok && query.exec(QStringLiteral("BEGIN"))
        && query.exec(QStringLiteral(
            "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
            "INSERT INTO forums (name, created) SELECT 'Forum ' || i, 0 FROM n"))
        && query.exec(QStringLiteral(
                          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                          "INSERT INTO messages (forum, number, title, body, title_html, body_html, "
                          "arrived) SELECT 1 + i % 200, i / 200 + 1, "
                          "'title', 'body', 'title', 'body', 0 FROM n")
                          .arg(messages))
        && query.exec(QStringLiteral("UPDATE forums SET message_count = "
                                     "(SELECT count(*) FROM messages m WHERE m.forum = forums.id)"))
        && query.exec(QStringLiteral("UPDATE forums SET posted = message_count"))
        && query.exec(QStringLiteral("COMMIT"));
    if (!ok)
        std::fprintf(stderr, "filling the database failed: %s\n",
                     qPrintable(query.lastError().text()));
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"seconds", "Length of the flood (default 10).", "S", "10"},
                       {"clients", "Senders in the flood (default 50).", "N", "50"},
                       {"messages", "Messages behind the start page (default 2000000).", "N",
                        "2000000"},
                       {"server", "The server program.", "PATH", TAVERNLY_SERVER_BINARY}});
    parser.process(app);
    const QString program = parser.value("server");
    const int seconds = parser.value("seconds").toInt();
    const int clients = parser.value("clients").toInt();
    qint64 peakKb = 0;

    {
        QTemporaryDir dir;
        Server server(program, dir.path());
        if (!server.isRunning()) {
            std::fprintf(stderr, "server did not start\n");
            return 1;
        }
        std::printf("Bursts\n");
        create(server, "Many");
        const qint64 many = sendPosts(server, 200, 100, "Many");
        checkStored("20,000 posts from 200 concurrent senders", many,
                    waitStored(server, "Many", 20000));
        create(server, "Single");
        const qint64 single = sendPosts(server, 1, 5000, "Single");
        checkStored("5,000 posts back to back from one sender", single,
                    waitStored(server, "Single", 5000));
        peakKb = std::max(peakKb, server.peakMemoryKiB());
    }
    {
        QTemporaryDir dir;
        Server server(program, dir.path());
        std::printf("Flood: %d senders for %d s, list requests alongside\n", clients, seconds);
        create(server, "Load");
        const QByteArray storedTotal = "tavernly_posts_stored_total";
        const double storedBefore = metric(server.ports().metrics, storedTotal);
        std::atomic<bool> stop{false};
        Latencies list;
        std::thread lister(listLoop, server.ports().list, std::cref(stop), &list);
        const double start = nowMs();
        std::thread timer([&] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            stop = true;
        });
        const qint64 sent = sendPosts(server, clients, 1LL << 40, "Load", &stop);
        timer.join();
        lister.join();
        const qint64 stored = waitStored(server, "Load", sent);
        const double elapsed = (nowMs() - start) / 1000;
        checkStored("flood", sent, stored);
        // The server's own count agrees with what the pages show.
        checkStored("flood, as the metrics count it", sent,
                    qint64(metric(server.ports().metrics, storedTotal) - storedBefore));
        std::printf("  %lld sent per second over %d s\n", (long long)(double(sent) / seconds), seconds);
        verdict("posts stored per second (until all were stored)", double(stored) / elapsed, "/s",
                5000, false);
        std::printf("  list during the flood: %zu requests, median %.2f ms\n", list.ms.size(),
                    list.at(0.5));
        verdict("list p99 during the flood", list.at(0.99), "ms", 5, true);

        std::printf("Hostile posts: 20 of 64 KiB, formatting left open, list requests alongside\n");
        stop = false;
        Latencies hostileList;
        std::thread hostileLister(listLoop, server.ports().list, std::cref(stop), &hostileList);
        const QByteArray hostile = hostilePost("Load");
        for (int i = 0; i < 20; ++i)
            exchange(server.ports().post, hostile);
        checkStored("hostile posts", sent + 20, waitStored(server, "Load", sent + 20));
        stop = true;
        hostileLister.join();
        std::printf("  list while they were parsed: %zu requests, median %.2f ms\n",
                    hostileList.ms.size(), hostileList.at(0.5));
        verdict("list p99 while hostile posts are parsed", hostileList.at(0.99), "ms", 20, true);

        std::printf("Page requests on a forum page of 100 ordinary messages\n");
        create(server, "Pages");
        sendPosts(server, 1, 100, "Pages");
        waitStored(server, "Pages", 100);
        const QString url = QStringLiteral("http://127.0.0.1:%1/tav/Pages.htm").arg(server.ports().http);
        const QByteArray ab = runTool({"ab", "-q", "-n", "10000", "-c", "50", url});
        const double failed = figure(ab, "Failed requests:\\s+(\\d+)");
        const double complete = figure(ab, "Complete requests:\\s+(\\d+)");
        std::printf("  ab (HTTP/1.0, a connection per request): %.0f complete, %.0f failed, %.0f per second\n",
                    complete, failed, figure(ab, "Requests per second:\\s+([\\d.]+)"));
        if (failed != 0 || complete != 10000) {
            std::printf("  ab: PAGE REQUESTS FAILED\n%s\n", ab.constData());
            ++g_lost;
        }
        const QByteArray wrk = runTool({"wrk", "-t", "2", "-c", "50", "-d", "5s", url});
        if (wrk.contains("Non-2xx") || wrk.contains("Socket errors")) {
            std::printf("  wrk: PAGE REQUESTS FAILED\n%s\n", wrk.constData());
            ++g_lost;
        }
        verdict("wrk keep-alive requests per second", figure(wrk, "Requests/sec:\\s+([\\d.]+)"),
                "/s", 10000, false);
        peakKb = std::max(peakKb, server.peakMemoryKiB());
    }
    {
        const qint64 messages = parser.value("messages").toLongLong();
        std::printf("Start page with %lld messages in 200 forums\n", (long long)messages);
        QTemporaryDir dir;
        const double fillStart = nowMs();
        if (!fillDatabase(program, dir.path(), messages))
            return 1;
        std::printf("  (database written in %.1f s)\n", (nowMs() - fillStart) / 1000);
        Server server(program, dir.path());
        // A post before each request, so that every page is built anew.
        Latencies start;
        for (int i = 0; i < 100; ++i) {
            exchange(server.ports().post, "Forum 7*<b>t</b>*b");
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // stored meanwhile
            const double begin = nowMs();
            const QByteArray page = exchange(server.ports().http, "GET /dn.htm HTTP/1.0\r\n\r\n");
            start.ms.push_back(nowMs() - begin);
            if (!page.contains("Forum 200</a>")) {
                std::printf("  start page incomplete\n");
                ++g_lost;
                break;
            }
        }
        std::printf("  /dn.htm: median %.2f ms\n", start.at(0.5));
        verdict("/dn.htm p99", start.at(0.99), "ms", 5, true);
        peakKb = std::max(peakKb, server.peakMemoryKiB());
    }
    verdict("server peak memory (VmHWM), highest of all phases", double(peakKb) / 1024, "MiB",
            300, true);
    std::printf("%s\n", g_lost ? "FAILED: posts or pages were lost"
                               : g_missed ? "Nothing lost; some targets were missed"
                                          : "Nothing lost; every target met");
    return g_lost ? 1 : g_missed ? 2 : 0;
}
