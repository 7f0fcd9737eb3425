// The page port beside nginx serving the same bytes as a static file, and
// what revalidation, gzip and a post flood cost a reader; exits non-zero
// when a request fails or a target is missed.
//
//   bench_page_serving [--seconds 5] [--rounds 3] [--flood-seconds 5] [--nginx-workers 1]
//                      [--server PATH]
//
// The server and nginx in two dresses, as Debian ships it and minimal (one
// worker by default: one thread serving, as the page port has; "auto" gives
// it one per core) take turns on loopback ports, wrk (keep-alive) and ab
// (HTTP/1.0, a connection per request) rotating between them round by
// round, so that all meet the same load from the rest of the machine. The verdict is the
// CPU time each serving process spends per request (utime and stime from
// /proc before and after each run), not the rate: a load tool that runs out
// of CPU caps both rates alike and would hide any difference. wrk's own CPU
// is shown so that a saturated load tool is seen.

#include "serverprobe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

using namespace serverprobe;

namespace {

int g_failed = 0; // requests failed: the server is wrong
int g_missed = 0; // targets missed

void verdict(const char *what, double value, const char *unit, const char *relation,
             double target, bool met)
{
    std::printf("  %-58s %10.2f %-5s target %s %g: %s\n", what, value, unit, relation, target,
                met ? "met" : "MISSED");
    if (!met)
        ++g_missed;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Messages of ordinary words, the same on every run.
QByteArray message(int n)
{
    static const QList<QByteArray> words{"the", "tavern", "opens", "at", "seven", "and",
                                         "we", "meet", "by", "fire", "bring", "a", "friend",
                                         "map", "dragon", "quest", "tonight", "ale", "bard",
                                         "sings", "old", "songs", "of", "the", "north"};
    quint32 seed = quint32(n) * 2654435761u + 1;
    QByteArray body;
    for (int w = 0; w < 30; ++w) {
        seed = seed * 1103515245u + 12345u;
        body += words[int((seed >> 16) % quint32(words.size()))] + ' ';
    }
    return "<b>Message " + QByteArray::number(n) + "</b>*" + body.trimmed() + "<br>\r\n"
        + QByteArray::number(seed % 100000);
}

// A keep-alive connection making one GET at a time.
class KeepAlive
{
public:
    explicit KeepAlive(quint16 port) : m_fd(connectLoopback(port)) {}
    ~KeepAlive()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // The whole answer (headers and body), empty if the connection failed.
    QByteArray get(const QByteArray &path, const QByteArray &headers = {})
    {
        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        if (m_fd < 0 || ::send(m_fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) < 0)
            return {};
        QByteArray in;
        qsizetype whole = -1;
        char chunk[65536];
        while (whole < 0 || in.size() < whole) {
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return {};
            in.append(chunk, got);
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (whole < 0 && end >= 0) {
                static const QRegularExpression length(QStringLiteral("(?i)\r\ncontent-length: *(\\d+)"));
                const auto match = length.match(QString::fromLatin1(in.left(end + 2)));
                whole = end + 4 + (match.hasMatch() ? match.captured(1).toLongLong() : 0);
            }
        }
        return in;
    }

private:
    int m_fd = -1;
};

QByteArray header(const QByteArray &answer, const char *name)
{
    const auto match = QRegularExpression(QStringLiteral("(?i)\r\n%1: *([^\r]*)").arg(QLatin1StringView(name)))
                           .match(QString::fromLatin1(answer.left(answer.indexOf("\r\n\r\n") + 2)));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

// nginx on a loopback port with a configuration of its own, serving `root`,
// in one of two dresses: as Debian ships it (sendfile and tcp_nopush on, the
// access log written to a file, gzip on), or minimal (no access log, no
// sendfile: every page copied out of its file).
class Nginx
{
public:
    enum Dress { Shipped, Minimal };
    Nginx(const QString &dir, const QString &root, quint16 port, const QString &workers,
          Dress dress)
    {
        QDir(dir).mkpath(QStringLiteral("."));
        QFile config(dir + "/nginx.conf");
        config.open(QIODevice::WriteOnly);
        const QString http = dress == Shipped
            ? QStringLiteral("  sendfile on;\n  tcp_nopush on;\n  access_log %1/access.log;\n"
                             "  gzip on;\n").arg(dir)
            : QStringLiteral("  sendfile off;\n  access_log off;\n");
        config.write(QStringLiteral(
            "worker_processes %4;\ndaemon off;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
            "events { worker_connections 1024; }\n"
            "http {\n%5  client_body_temp_path %1/body;\n"
            "  proxy_temp_path %1/proxy;\n  fastcgi_temp_path %1/fastcgi;\n"
            "  uwsgi_temp_path %1/uwsgi;\n  scgi_temp_path %1/scgi;\n"
            "  types { text/html htm; }\n"
            "  server { listen 127.0.0.1:%2; root %3; }\n}\n")
                         .arg(dir).arg(port).arg(root, workers, http).toUtf8());
        config.close();
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(QStringLiteral("nginx"), {"-p", dir, "-c", dir + "/nginx.conf", "-e",
                                                  dir + "/error.log"});
    }
    ~Nginx()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }
    // The process that serves (the only worker by default): what its CPU
    // time is read from; the master if it has none.
    qint64 workerId() const
    {
        const qint64 master = m_process.processId();
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(master));
        if (children.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> ids = children.readAll().simplified().split(' ');
            if (ids.size() == 1 && ids.first().toLongLong() > 0)
                return ids.first().toLongLong();
        }
        return master;
    }

private:
    QProcess m_process;
};

bool waitAnswering(quint16 port)
{
    for (int i = 0; i < 100; ++i) {
        if (!KeepAlive(port).get("/").isEmpty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Per round: requests per second, and microseconds of the serving process's
// CPU per request; wrk's own CPU share of one core.
struct Figures
{
    std::vector<double> wrk, ab, wrkCpu, abCpu, loadTool;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// µs of `pid`'s CPU per request while `run` makes `requests` of them.
template <typename Run>
double cpuPerRequest(qint64 pid, Run run, double *requests)
{
    const double before = cpuSeconds(pid);
    run();
    const double after = cpuSeconds(pid);
    return *requests > 0 && before >= 0 && after >= 0 ? (after - before) * 1e6 / *requests : -1;
}

void measure(const char *who, quint16 port, qint64 pid, const QString &path, int seconds,
             Figures *out)
{
    const QString url = QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
    QByteArray wrk;
    double wrkRequests = 0;
    const double toolBefore = childrenCpuSeconds();
    const double wrkCpu = cpuPerRequest(pid, [&] {
        wrk = runTool({"wrk", "-t", "1", "-c", "50", "-d", QString::number(seconds) + "s", url});
        wrkRequests = figure(wrk, "(\\d+) requests in");
    }, &wrkRequests);
    const double toolShare = (childrenCpuSeconds() - toolBefore) / seconds;
    const double wrkRate = figure(wrk, "Requests/sec:\\s+([\\d.]+)");
    if (wrk.contains("Non-2xx") || wrk.contains("Socket errors") || wrkRate <= 0 || wrkCpu <= 0) {
        std::printf("  wrk on %s: REQUESTS FAILED\n%s\n", who, wrk.constData());
        ++g_failed;
    }
    QByteArray ab;
    double abRequests = 20000;
    const double abCpu = cpuPerRequest(pid, [&] {
        ab = runTool({"ab", "-q", "-n", "20000", "-c", "50", url});
    }, &abRequests);
    const double failed = figure(ab, "Failed requests:\\s+(\\d+)");
    const double complete = figure(ab, "Complete requests:\\s+(\\d+)");
    if (failed != 0 || complete != 20000 || ab.contains("Non-2xx")) {
        std::printf("  ab on %s: REQUESTS FAILED\n%s\n", who, ab.constData());
        ++g_failed;
    }
    const double abRate = figure(ab, "Requests per second:\\s+([\\d.]+)");
    std::printf("  %-6s wrk %9.0f /s %6.2f us CPU/request (wrk itself: %3.0f%% of a core)\n"
                "  %-6s ab  %9.0f /s %6.2f us CPU/request\n",
                who, wrkRate, wrkCpu, toolShare * 100, who, abRate, abCpu);
    out->wrk.push_back(wrkRate);
    out->ab.push_back(abRate);
    out->wrkCpu.push_back(wrkCpu);
    out->abCpu.push_back(abCpu);
    out->loadTool.push_back(toolShare);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"seconds", "Length of each wrk run (default 5).", "S", "5"},
                       {"rounds", "Rounds of the side-by-side run (default 3).", "N", "3"},
                       {"flood-seconds", "Length of the post flood (default 5).", "S", "5"},
                       {"nginx-workers", "nginx's worker processes (default 1).", "N", "1"},
                       {"server", "The server program.", "PATH", TAVERNLY_SERVER_BINARY}});
    parser.process(app);
    const int seconds = parser.value("seconds").toInt();
    const int rounds = parser.value("rounds").toInt();
    const int floodSeconds = parser.value("flood-seconds").toInt();

    QTemporaryDir dataDir;
    // Its log in a file, as nginx's access log is in the shipped dress.
    Server server(parser.value("server"), dataDir.path(), ServerProcess::Log::Kept);
    if (!server.isRunning()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    const Ports ports = server.ports();
    exchange(ports.create, "Pages");
    exchange(ports.create, "Other");
    for (int i = 0; i < 100; ++i)
        exchange(ports.post, "Pages*" + message(i));
    for (int i = 0; i < 10; ++i)
        exchange(ports.post, "Other*" + message(i));
    if (storedIn(ports.http, QStringLiteral("Pages")) != 100) {
        std::fprintf(stderr, "the forum page does not hold its 100 messages\n");
        return 1;
    }
    const QByteArray path = "/tav/Pages.htm";
    const QByteArray answer = KeepAlive(ports.http).get(path);
    const QByteArray page = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    std::printf("The page of a forum of 100 messages: %lld bytes\n", (long long)page.size());

    const QString workers = parser.value("nginx-workers");
    std::printf("Side by side with nginx serving the same bytes (worker_processes %s), %d rounds\n"
                "  shipped: sendfile, tcp_nopush, access log to a file, gzip (as Debian ships it)\n"
                "  minimal: no sendfile, no access log; the server logs to a file in both\n",
                qPrintable(workers), rounds);
    QTemporaryDir nginxDir;
    QFile::setPermissions(nginxDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadOther | QFile::ExeOther
                                              | QFile::ReadGroup | QFile::ExeGroup);
    QDir(nginxDir.path()).mkpath("root/tav");
    QFile file(nginxDir.path() + "/root/tav/Pages.htm");
    file.open(QIODevice::WriteOnly);
    file.write(page);
    file.close();
    const QString root = nginxDir.path() + "/root";
    const quint16 shippedPort = freePort();
    Nginx shipped(nginxDir.path() + "/shipped", root, shippedPort, workers, Nginx::Shipped);
    const quint16 minimalPort = freePort();
    Nginx minimal(nginxDir.path() + "/minimal", root, minimalPort, workers, Nginx::Minimal);
    for (const quint16 port : {shippedPort, minimalPort}) {
        if (!waitAnswering(port)) {
            std::fprintf(stderr, "nginx did not start\n");
            return 1;
        }
        if (KeepAlive(port).get(path).endsWith(page) == false) {
            std::fprintf(stderr, "nginx does not serve the page's bytes\n");
            return 1;
        }
    }
    struct Contender
    {
        const char *name;
        quint16 port;
        qint64 pid;
        Figures figures;
    };
    Contender contenders[] = {{"server", ports.http, server.processId(), {}},
                              {"shipped", shippedPort, shipped.workerId(), {}},
                              {"minimal", minimalPort, minimal.workerId(), {}}};
    for (int round = 0; round < rounds; ++round) {
        std::printf(" round %d (load %s)\n", round + 1,
                    qPrintable(QString::fromLatin1(runTool({"cut", "-d ", "-f1-3", "/proc/loadavg"})).trimmed()));
        // Each takes each place in turn.
        for (int turn = 0; turn < 3; ++turn) {
            Contender &c = contenders[(round + turn) % 3];
            measure(c.name, c.port, c.pid, QString::fromLatin1(path), seconds, &c.figures);
        }
    }
    std::vector<double> toolShares;
    for (const Contender &c : contenders) {
        std::printf("  median %-7s wrk %6.0f /s %6.2f us, ab %6.0f /s %6.2f us\n", c.name,
                    median(c.figures.wrk), median(c.figures.wrkCpu), median(c.figures.ab),
                    median(c.figures.abCpu));
        toolShares.insert(toolShares.end(), c.figures.loadTool.begin(), c.figures.loadTool.end());
    }
    const double toolShare = median(toolShares);
    if (toolShare > 0.9)
        std::printf("  wrk used %.0f%% of a core: the rates show wrk's ceiling, not the servers'\n",
                    toolShare * 100);
    const Figures &ours = contenders[0].figures;
    for (const Contender *nginx : {&contenders[1], &contenders[2]}) {
        const Figures &theirs = nginx->figures;
        const QByteArray against = QByteArray(" / nginx ") + nginx->name;
        const double keepAlive = median(ours.wrkCpu) / median(theirs.wrkCpu);
        const double limit = nginx == &contenders[1] ? 1.0 : 1.25;
        verdict(("CPU per keep-alive request: server" + against).constData(), keepAlive, "x",
                "<=", limit, keepAlive <= limit);
        const double each = median(ours.abCpu) / median(theirs.abCpu);
        verdict(("CPU per request, a connection each: server" + against).constData(), each,
                "x", "<=", 1.25, each <= 1.25);
        const double wrkRate = median(ours.wrk) / median(theirs.wrk);
        verdict(("requests/s, keep-alive (wrk): server" + against).constData(), wrkRate, "x",
                ">=", 0.8, wrkRate >= 0.8);
        const double abRate = median(ours.ab) / median(theirs.ab);
        verdict(("requests/s, a connection each (ab): server" + against).constData(), abRate,
                "x", ">=", 0.8, abRate >= 0.8);
    }

    std::printf("Revalidation and compression\n");
    KeepAlive reader(ports.http);
    const QByteArray tag = header(reader.get(path), "ETag");
    const QByteArray revalidate = "If-None-Match: " + (tag.isEmpty() ? QByteArray("\"none\"") : tag) + "\r\n";
    const QByteArray again = reader.get(path, revalidate);
    const qsizetype wire = again.size() + 40 + path.size() + revalidate.size(); // both ways
    std::printf("  answer: %s\n", again.left(again.indexOf("\r\n")).constData());
    verdict("unchanged page revalidated, bytes both ways", double(wire), "B", "<", 1024, wire < 1024);
    const QByteArray packed = reader.get(path, "Accept-Encoding: gzip\r\n");
    verdict("gzipped answer / page size", double(packed.size()) / double(page.size()), "x", "<=",
            0.25, packed.size() * 4 <= page.size());

    std::printf("Another forum's page during a %d s flood from 50 senders\n", floodSeconds);
    exchange(ports.create, "Load");
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    std::atomic<qint64> sent{0};
    for (int s = 0; s < 50; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; !stop; ++i) {
                bool ok = false;
                exchange(ports.post, "Load*" + message(s * 100000 + i), &ok);
                sent += ok;
            }
        });
    }
    Latencies other;
    QByteArray firstTag;
    bool tagChanged = false;
    {
        KeepAlive prober(ports.http);
        const double until = nowMs() + floodSeconds * 1000.0;
        while (nowMs() < until) {
            const double begin = nowMs();
            const QByteArray got = prober.get("/tav/Other.htm");
            other.ms.push_back(nowMs() - begin);
            if (!got.startsWith("HTTP/1.1 200")) {
                std::printf("  page request FAILED: %s\n", got.left(40).constData());
                ++g_failed;
                break;
            }
            const QByteArray tagNow = header(got, "ETag");
            if (firstTag.isEmpty())
                firstTag = tagNow;
            tagChanged = tagChanged || tagNow != firstTag;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    stop = true;
    for (std::thread &t : senders)
        t.join();
    std::printf("  %lld posts sent; %zu page requests, median %.2f ms; its tag %s\n",
                (long long)sent.load(), other.ms.size(), other.at(0.5),
                firstTag.isEmpty() ? "absent" : tagChanged ? "CHANGED" : "unchanged");
    verdict("another forum's page p99 during the flood", other.at(0.99), "ms", "<", 10,
            other.at(0.99) < 10);
    if (tagChanged) {
        std::printf("  the other forum's tag changed: a post touched a page it does not show\n");
        ++g_failed;
    }
    std::printf("%s\n", g_failed ? "FAILED: requests failed"
                                 : g_missed ? "No request failed; some targets were missed"
                                            : "No request failed; every target met");
    return g_failed ? 1 : g_missed ? 2 : 0;
}
