// Load run against tavernly-server on loopback: posts per second and list
// latency with many clients at once.
//
//   bench_server_load [--clients 50] [--seconds 5] [--server PATH]
//
// Starts the server on free ports with a throw-away data folder, then runs
// two phases, each with every client repeating its exchange back to back:
// posts (counted once the server's start page shows them stored) and list
// requests (latency from connect to the server's close).

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

struct Ports
{
    quint16 list = 0, create = 0, post = 0, http = 0;
};

// One client: repeats one exchange until told to stop.
class Worker : public QObject
{
public:
    Worker(quint16 port, QByteArray request, bool waitForClose,
           std::function<void(qint64 nanoseconds)> done)
        : m_port(port), m_request(std::move(request)), m_waitForClose(waitForClose),
          m_done(std::move(done))
    {
    }

    ~Worker() override
    {
        if (m_socket)
            m_socket->disconnect(this);
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
        connect(socket, &QTcpSocket::disconnected, this, [this] { finish(true); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                finish(false);
        });
        socket->connectToHost(QHostAddress::LocalHost, m_port);
    }

    void finish(bool ok)
    {
        if (!m_socket)
            return;
        const qint64 elapsed = m_clock.nsecsElapsed();
        m_socket->disconnect(this);
        m_socket->abort();
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

void runFor(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 storedPosts(QNetworkAccessManager &network, quint16 httpPort)
{
    QNetworkReply *reply = network.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/dn.htm").arg(httpPort))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    static const QRegularExpression count(QStringLiteral("Load</a> \\((\\d+) message"));
    const auto match = count.match(QString::fromUtf8(reply->readAll()));
    reply->deleteLater();
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"clients", "Concurrent clients (default 50).", "N", "50"},
                       {"seconds", "Length of each phase (default 5).", "S", "5"},
                       {"server", "The server program.", "PATH", TAVERNLY_SERVER_BINARY}});
    parser.process(app);
    const int clients = parser.value("clients").toInt();
    const int seconds = parser.value("seconds").toInt();

    QTemporaryDir dir;
    QProcess server;
    server.setStandardErrorFile(QProcess::nullDevice()); // one log line per request
    QByteArray out;
    server.start(parser.value("server"), {"--data", dir.path(), "--list-port", "0",
                                          "--create-port", "0", "--post-port", "0",
                                          "--http-port", "0"});
    static const QRegularExpression ready(
        QStringLiteral("listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)"));
    QRegularExpressionMatch match;
    QElapsedTimer startup;
    startup.start();
    while (!(match = ready.match(QString::fromUtf8(out))).hasMatch()) {
        if (startup.elapsed() > 10000 || server.state() == QProcess::NotRunning) {
            std::fprintf(stderr, "server did not start\n");
            return 1;
        }
        server.waitForReadyRead(100);
        out += server.readAllStandardOutput();
    }
    const Ports ports{quint16(match.captured(1).toUInt()), quint16(match.captured(2).toUInt()),
                      quint16(match.captured(3).toUInt()), quint16(match.captured(4).toUInt())};

    QTcpSocket create;
    create.connectToHost(QHostAddress::LocalHost, ports.create);
    create.waitForConnected();
    create.write("Load");
    create.waitForDisconnected(5000);

    // Phase 1: posts.
    qint64 sent = 0;
    std::vector<std::unique_ptr<Worker>> workers;
    const QByteArray post = "Load*<b>Load test</b>*" + QByteArray(400, 'x') + "<br>\r\nend";
    for (int i = 0; i < clients; ++i)
        workers.push_back(std::make_unique<Worker>(ports.post, post, false,
                                                   [&sent](qint64) { ++sent; }));
    QElapsedTimer clock;
    clock.start();
    for (auto &w : workers)
        w->start();
    runFor(seconds);
    for (auto &w : workers)
        w->stop();
    QNetworkAccessManager network;
    qint64 stored = 0;
    while ((stored = storedPosts(network, ports.http)) < sent && clock.elapsed() < seconds * 3000)
        runFor(0);
    const double postSeconds = clock.nsecsElapsed() / 1e9;
    workers.clear();

    // Phase 2: list requests.
    std::vector<qint64> latencies;
    for (int i = 0; i < clients; ++i)
        workers.push_back(std::make_unique<Worker>(
            ports.list, "GETLIST", true, [&latencies](qint64 ns) { latencies.push_back(ns); }));
    for (auto &w : workers)
        w->start();
    runFor(seconds);
    workers.clear();
    std::sort(latencies.begin(), latencies.end());
    auto at = [&latencies](double q) {
        return latencies.empty() ? 0.0 : latencies[size_t(q * double(latencies.size() - 1))] / 1e6;
    };

    std::printf("clients %d, %d s per phase\n", clients, seconds);
    std::printf("posts: %lld sent, %lld stored, %.0f stored per second\n", (long long)sent,
                (long long)stored, double(stored) / postSeconds);
    std::printf("list: %zu requests, %.0f per second, latency median %.2f ms, p99 %.2f ms\n",
                latencies.size(), double(latencies.size()) / seconds, at(0.5), at(0.99));
    server.terminate();
    server.waitForFinished();
    return 0;
}
