// The cost of the several-server path, on this machine: posts stored per
// second and list latency for one server on SQLite (no front), then one
// and two servers on PostgreSQL behind the front (scripts/front.sh), in one run.
//
//   scripts/front.sh isolated scripts/pg-throwaway.sh run
//       bench_cluster_load [--clients 20] [--seconds 3]
//
// Each configuration starts from an empty database. Posts are counted once
// the start page shows them stored; list latency runs from connect to the
// server's close, through the front where there is one.

#include "clusterfront.h"
#include "httpanswer.h"
#include "plainsender.h"
#include "serverprocess.h"
#include "server/store/databaseurl.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

// Repeats one exchange back to back until stopped.
class Worker : public QObject
{
public:
    Worker(quint16 port, QByteArray request, bool waitForClose, std::function<void(qint64)> done)
        : m_port(port), m_request(std::move(request)), m_waitForClose(waitForClose),
          m_done(std::move(done))
    {
    }
    void start() { next(); }
    void stop() { m_stopped = true; }

private:
    void next()
    {
        if (m_stopped)
            return;
        m_socket = std::make_unique<QTcpSocket>();
        QTcpSocket *socket = m_socket.get();
        m_clock.start();
        connect(socket, &QTcpSocket::connected, this, [this, socket] { socket->write(m_request); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (!m_waitForClose && socket->bytesToWrite() == 0)
                finish(true);
        });
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            finish(e == QAbstractSocket::RemoteHostClosedError);
        });
        socket->connectToHost(QHostAddress::LocalHost, m_port);
    }

    void finish(bool ok)
    {
        if (!m_socket)
            return;
        const qint64 elapsed = m_clock.nsecsElapsed();
        m_socket->disconnect(this);
        m_socket->disconnectFromHost();
        m_socket.release()->deleteLater();
        if (ok)
            m_done(elapsed);
        QTimer::singleShot(0, this, [this] { next(); });
    }

    quint16 m_port;
    QByteArray m_request;
    bool m_waitForClose;
    std::function<void(qint64)> m_done;
    std::unique_ptr<QTcpSocket> m_socket;
    QElapsedTimer m_clock;
    bool m_stopped = false;
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 storedPosts(quint16 httpPort)
{
    int status = 0;
    const QString page = QString::fromUtf8(kit::httpGet(httpPort, "/dn.htm", &status));
    static const QRegularExpression count(QStringLiteral("Load</a> \\((\\d+) message"));
    const auto match = count.match(page);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

struct Figures
{
    qint64 sent = 0;
    qint64 stored = 0;
    double postsPerSecond = 0;
    size_t lists = 0;
    double listP50 = 0, listP99 = 0;
};

Figures measure(const ServicePorts &ports, int clients, int seconds)
{
    Figures f;
    kit::exchange(ports.create, "Load");
    std::vector<std::unique_ptr<Worker>> workers;
    const QByteArray post = "Load*<b>Load test</b>*" + QByteArray(400, 'x') + "<br>\r\nend";
    for (int i = 0; i < clients; ++i)
        workers.push_back(
            std::make_unique<Worker>(ports.post, post, false, [&f](qint64) { ++f.sent; }));
    QElapsedTimer clock;
    clock.start();
    for (auto &w : workers)
        w->start();
    runFor(seconds * 1000);
    for (auto &w : workers)
        w->stop();
    // Stored once the count reaches what was sent or stops moving.
    qint64 last = -1;
    qint64 lastChangeNs = clock.nsecsElapsed();
    QElapsedTimer still;
    still.start();
    while (clock.elapsed() < seconds * 10000) {
        const qint64 stored = storedPosts(ports.http);
        if (stored < 0) { // no count: a page not ready in time while the writer catches up
            runFor(20);
            continue;
        }
        f.stored = stored;
        if (f.stored != last) {
            last = f.stored;
            lastChangeNs = clock.nsecsElapsed();
            still.restart();
        }
        if (f.stored >= f.sent || still.elapsed() > 2000)
            break;
        runFor(20);
    }
    f.postsPerSecond = double(f.stored) / (double(lastChangeNs) / 1e9);
    workers.clear();

    std::vector<qint64> latencies;
    for (int i = 0; i < clients; ++i)
        workers.push_back(std::make_unique<Worker>(
            ports.list, "GETLIST", true, [&latencies](qint64 ns) { latencies.push_back(ns); }));
    for (auto &w : workers)
        w->start();
    runFor(seconds * 1000);
    for (auto &w : workers)
        w->stop();
    runFor(200);
    workers.clear();
    std::sort(latencies.begin(), latencies.end());
    auto at = [&latencies](double q) {
        return latencies.empty() ? 0.0 : latencies[size_t(q * double(latencies.size() - 1))] / 1e6;
    };
    f.lists = latencies.size();
    f.listP50 = at(0.5);
    f.listP99 = at(0.99);
    return f;
}

void print(const char *what, const Figures &f)
{
    std::printf("%-36s %7.0f posts/s (%lld sent, %lld stored)   list p50 %6.2f ms, p99 %6.2f ms "
                "(%zu requests)\n",
                what, f.postsPerSecond, (long long)f.sent, (long long)f.stored, f.listP50,
                f.listP99, f.lists);
    std::fflush(stdout);
}

// Closed connections this machine still holds in TIME_WAIT. Every post here is
// a new loopback connection: a run makes tens of thousands. Once the kernel's
// table is full it drops closed connections at once, and a new connection can
// then take the four-tuple of one whose last packets are still on their way.
// Clients on other hosts never meet this; a bench on one does.
qint64 timeWaitCount()
{
    QFile file(QStringLiteral("/proc/net/sockstat"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    static const QRegularExpression tw(QStringLiteral("^TCP:.* tw (\\d+)"),
                                       QRegularExpression::MultilineOption);
    const auto match = tw.match(QString::fromLatin1(file.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

// Lets the previous configuration's closed connections expire (at most 70 s).
void settleClosedConnections()
{
    QElapsedTimer waited;
    waited.start();
    while (timeWaitCount() > 10000 && waited.elapsed() < 70000)
        runFor(500);
    if (waited.elapsed() > 1000)
        std::printf("(waited %.0f s for closed connections to expire)\n", waited.elapsed() / 1e3);
}

bool emptyDatabase(const DatabaseUrl &url)
{
    QString error;
    if (!url.open(QStringLiteral("emptying"), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    bool ok = false;
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("emptying")));
        ok = query.exec(QStringLiteral("DROP SCHEMA public CASCADE")) &&
             query.exec(QStringLiteral("CREATE SCHEMA public"));
    }
    QSqlDatabase::database(QStringLiteral("emptying")).close();
    QSqlDatabase::removeDatabase(QStringLiteral("emptying"));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"clients", "Concurrent clients (default 20).", "N", "20"},
                       {"seconds", "Length of each phase (default 3).", "S", "3"}});
    parser.process(app);
    const int clients = parser.value("clients").toInt();
    const int seconds = parser.value("seconds").toInt();
    std::printf("%d clients, %d s of posts then %d s of list requests per configuration\n",
                clients, seconds, seconds);

    QString error;
    // Every client here has one address: limits per address would stop the load.
    const QStringList noLimits{"--create-limit", "0", "--post-limit", "0"};
    bool lost = false;
    auto report = [&lost](const char *what, const Figures &f) {
        print(what, f);
        lost = lost || f.stored != f.sent;
    };
    {
        settleClosedConnections();
        ServerProcess server;
        if (!server.start(TAVERNLY_SERVER_BINARY, noLimits, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        report("SQLite, one server, no front", measure(server.ports(), clients, seconds));
    }

    const QString address = qEnvironmentVariable("TAVERNLY_TEST_DATABASE");
    const std::optional<DatabaseUrl> database = DatabaseUrl::parse(address, &error);
    if (!database || database->engine != DatabaseUrl::Engine::PostgreSQL) {
        std::printf("(no PostgreSQL: run through scripts/pg-throwaway.sh run)\n");
        return lost ? 1 : address == QLatin1StringView("none") ? 0 : 1;
    }
    if (const QString missing = ClusterFront::missing(); !missing.isEmpty()) {
        std::printf("(no front: %s)\n", qPrintable(missing));
        return lost ? 1 : 0;
    }
    for (int count : {1, 2}) {
        settleClosedConnections();
        if (!emptyDatabase(*database))
            return 1;
        ClusterFront front(TAVERNLY_SOURCE_DIR);
        std::vector<std::unique_ptr<ServerProcess>> servers;
        QList<ServicePorts> ports;
        for (int i = 0; i < count; ++i) {
            servers.push_back(std::make_unique<ServerProcess>());
            if (!servers.back()->start(TAVERNLY_SERVER_BINARY,
                                       QStringList{"--database", address} + noLimits
                                           + front.serverOptions(),
                                       &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            ports.append(servers.back()->ports());
        }
        // Each connection to the next server, as many clients would be spread.
        if (!front.start(ports, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        report(count == 1 ? "PostgreSQL, one server, front" : "PostgreSQL, two servers, front",
               measure(front.ports(), clients, seconds));
    }
    if (lost)
        std::printf("LOST: fewer posts stored than sent\n");
    return lost ? 1 : 0;
}
