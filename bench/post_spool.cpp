// Posts per second through the server's spool (each post acknowledged only
// once it is flushed to disk) beside a trivial accept-read-close sink on the
// same machine, the floor of this exchange here. Senders connect, send, end
// their sending half and wait for the close, as the client does; the two
// targets take turns, and the medians are compared. Every post the server
// acknowledged must be stored: the bench exits non-zero otherwise.
//   <build>/bench/bench_post_spool [--seconds 5] [--rounds 3] [--senders 50]

#include "serverprobe.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Accepts on a loopback port, reads each connection to its end, closes it
// in order: the least a post exchange can cost here.
class Sink
{
public:
    Sink()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || ::listen(m_listen, 1024) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Sink()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    quint16 port() const { return m_port; }

private:
    void run()
    {
        const int poller = ::epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_listen;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, m_listen, &event);
        epoll_event ready[256];
        char buffer[65536];
        while (!m_stop) {
            const int count = ::epoll_wait(poller, ready, 256, 100);
            for (int i = 0; i < count; ++i) {
                const int fd = ready[i].data.fd;
                if (fd == m_listen) {
                    int client = 0;
                    while ((client = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                        epoll_event added{};
                        added.events = EPOLLIN;
                        added.data.fd = client;
                        ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &added);
                    }
                    continue;
                }
                ssize_t got = 0;
                while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    ::close(fd); // leaves the epoll set with it
            }
        }
        ::close(poller);
    }

    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// connect, send, half-close, wait: true only for an orderly close.
bool post(quint16 port, const QByteArray &request)
{
    const int fd = serverprobe::connectLoopback(port);
    if (fd < 0)
        return false;
    char byte = 0;
    const bool kept = ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)
            == ssize_t(request.size())
        && ::shutdown(fd, SHUT_WR) == 0 && ::recv(fd, &byte, 1, 0) == 0;
    ::close(fd);
    return kept;
}

// Posts acknowledged per second by `senders` threads for `seconds`.
double flood(quint16 port, int senders, int seconds, qint64 *acknowledged, qint64 *failed)
{
    std::atomic<bool> stop{false};
    std::atomic<qint64> kept{0};
    std::atomic<qint64> lost{0};
    std::vector<std::thread> threads;
    const double start = serverprobe::nowMs();
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; !stop; ++i) {
                const QByteArray request = "Bench*<b>Spool</b>*sender " + QByteArray::number(s)
                    + " post " + QByteArray::number(i);
                if (post(port, request))
                    ++kept;
                else
                    ++lost;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    const double elapsed = (serverprobe::nowMs() - start) / 1000.0;
    *acknowledged += kept;
    *failed += lost;
    return double(kept) / elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&](const char *name, int fallback) {
        const qsizetype at = args.indexOf(QString::fromLatin1(name));
        return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
    };
    const int seconds = option("--seconds", 5);
    const int rounds = option("--rounds", 3);
    const int senders = option("--senders", 50);

    QTemporaryDir data;
    serverprobe::Server server(QStringLiteral(TAVERNLY_SERVER_BINARY), data.path());
    Sink sink;
    if (!server.isRunning() || sink.port() == 0) {
        std::fprintf(stderr, "bench_post_spool: the server or the sink did not start\n");
        return 2;
    }
    if (serverprobe::exchange(server.ports().create, "Bench") != "CREATED") {
        std::fprintf(stderr, "bench_post_spool: cannot create the forum\n");
        return 2;
    }
    std::printf("%d senders, %d s per turn, %d rounds (sink, then server, alternately)\n",
                senders, seconds, rounds);
    std::vector<double> sinkRates;
    std::vector<double> serverRates;
    qint64 sinkKept = 0, sinkFailed = 0, serverKept = 0, serverFailed = 0;
    for (int round = 0; round < rounds; ++round) {
        sinkRates.push_back(flood(sink.port(), senders, seconds, &sinkKept, &sinkFailed));
        serverRates.push_back(
            flood(server.ports().post, senders, seconds, &serverKept, &serverFailed));
        std::printf("round %d: sink %.0f/s, server %.0f/s\n", round + 1, sinkRates.back(),
                    serverRates.back());
        std::fflush(stdout);
    }
    const double sinkMedian = median(sinkRates);
    const double serverMedian = median(serverRates);
    std::printf("median: sink %.0f posts/s, server through the spool %.0f posts/s, ratio %.2f\n",
                sinkMedian, serverMedian, sinkMedian > 0 ? serverMedian / sinkMedian : 0);
    std::printf("server: %lld acknowledged, %lld not (reset or failed)\n",
                static_cast<long long>(serverKept), static_cast<long long>(serverFailed));

    // Every acknowledged post is stored; none that was refused is.
    qint64 stored = -1;
    for (int wait = 0; wait < 600 && stored < serverKept; ++wait) {
        stored = serverprobe::storedIn(server.ports().http, QStringLiteral("Bench"));
        if (stored < serverKept)
            QThread::msleep(100);
    }
    std::printf("stored: %lld of %lld acknowledged\n", static_cast<long long>(stored),
                static_cast<long long>(serverKept));
    if (stored != serverKept) {
        std::fprintf(stderr, "bench_post_spool: stored %lld != acknowledged %lld\n",
                     static_cast<long long>(stored), static_cast<long long>(serverKept));
        return 1;
    }
    return 0;
}
