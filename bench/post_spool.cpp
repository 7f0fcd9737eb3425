// Posts per second through the server's spool (each post acknowledged only
// once it is flushed to disk) beside two sinks on the same machine: a
// trivial accept-read-close one, the floor of this exchange here, and one
// that appends each post to a log of its own and flushes it (fdatasync once
// per group) before closing, the least a post kept on disk can cost. Senders
// connect, send, end their sending half and wait for the close, as the
// client does; the targets take turns, and the medians are compared. The
// server must keep within 0.9x of the flushing sink, and every post it
// acknowledged must be stored: the bench exits non-zero otherwise.
//   <build>/bench/bench_post_spool [--seconds 5] [--rounds 3] [--senders 50]

#include "serverprobe.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr double leastShareOfFlushingSink = 0.9;

// Accepts on a loopback port, reads each connection to its end, closes it
// in order: the least a post exchange can cost here. With a log file, each
// post read whole is appended to it, and the posts of one wake-up are closed
// only once one fdatasync has put them on the disk.
class Sink
{
public:
    explicit Sink(const QString &logFile = {})
    {
        if (!logFile.isEmpty()) {
            m_log = ::open(QFile::encodeName(logFile).constData(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (m_log < 0)
                return;
        }
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
        if (m_log >= 0)
            ::close(m_log);
    }
    quint16 port() const { return m_port; }
    bool failed() const { return m_failed; }
    // CPU time its thread has used so far, in seconds.
    double cpuSeconds()
    {
        clockid_t clock{};
        timespec used{};
        if (!m_thread.joinable() || ::pthread_getcpuclockid(m_thread.native_handle(), &clock) != 0
            || ::clock_gettime(clock, &used) != 0)
            return 0;
        return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
    }

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
        std::unordered_map<int, QByteArray> posts; // flushing: what each connection sent
        std::vector<int> whole;                    // read to their end, to flush and close
        QByteArray group;
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
                    if (m_log >= 0)
                        posts[fd].append(buffer, got);
                }
                if (got == 0 && m_log >= 0) {
                    ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
                    group += posts[fd];
                    group += '\n';
                    posts.erase(fd);
                    whole.push_back(fd);
                } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    posts.erase(fd);
                    ::close(fd); // leaves the epoll set with it
                }
            }
            if (whole.empty())
                continue;
            if (::write(m_log, group.constData(), size_t(group.size())) != group.size()
                || ::fdatasync(m_log) != 0)
                m_failed = true;
            group.clear();
            for (int fd : whole)
                ::close(fd);
            whole.clear();
        }
        for (const auto &[fd, post] : posts)
            ::close(fd);
        ::close(poller);
    }

    int m_listen = -1;
    int m_log = -1;
    std::atomic<bool> m_failed{false};
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
    Sink flushing(data.filePath(QStringLiteral("sink.log"))); // beside the server's spool
    if (!server.isRunning() || sink.port() == 0 || flushing.port() == 0) {
        std::fprintf(stderr, "bench_post_spool: the server or a sink did not start\n");
        return 2;
    }
    if (serverprobe::exchange(server.ports().create, "Bench") != "CREATED") {
        std::fprintf(stderr, "bench_post_spool: cannot create the forum\n");
        return 2;
    }
    std::printf("%d senders, %d s per turn, %d rounds (sink, flushing sink, server in turn)\n",
                senders, seconds, rounds);
    std::vector<double> sinkRates;
    std::vector<double> flushingRates;
    std::vector<double> serverRates;
    qint64 sinkKept = 0, sinkFailed = 0, flushingKept = 0, flushingFailed = 0;
    qint64 serverKept = 0, serverFailed = 0;
    double serverCpu = 0;
    for (int round = 0; round < rounds; ++round) {
        sinkRates.push_back(flood(sink.port(), senders, seconds, &sinkKept, &sinkFailed));
        flushingRates.push_back(
            flood(flushing.port(), senders, seconds, &flushingKept, &flushingFailed));
        const double cpuBefore = serverprobe::cpuSeconds(server.processId());
        serverRates.push_back(
            flood(server.ports().post, senders, seconds, &serverKept, &serverFailed));
        serverCpu += serverprobe::cpuSeconds(server.processId()) - cpuBefore;
        std::printf("round %d: sink %.0f/s, flushing sink %.0f/s, server %.0f/s\n", round + 1,
                    sinkRates.back(), flushingRates.back(), serverRates.back());
        std::fflush(stdout);
    }
    const double sinkMedian = median(sinkRates);
    const double flushingMedian = median(flushingRates);
    const double serverMedian = median(serverRates);
    const double share = flushingMedian > 0 ? serverMedian / flushingMedian : 0;
    std::printf("median: sink %.0f posts/s, flushing sink %.0f posts/s, server through the "
                "spool %.0f posts/s\n",
                sinkMedian, flushingMedian, serverMedian);
    std::printf("server / flushing sink %.2f (at least %.2f), server / sink %.2f\n", share,
                leastShareOfFlushingSink, sinkMedian > 0 ? serverMedian / sinkMedian : 0);
    const auto perPost = [](double seconds, qint64 posts) {
        return posts > 0 ? seconds * 1e6 / double(posts) : 0;
    };
    std::printf("CPU per post: server process %.1f us, sink thread %.1f us, flushing sink "
                "thread %.1f us (senders not counted)\n",
                perPost(serverCpu, serverKept), perPost(sink.cpuSeconds(), sinkKept),
                perPost(flushing.cpuSeconds(), flushingKept));
    std::printf("server: %lld acknowledged, %lld not (reset or failed)\n",
                static_cast<long long>(serverKept), static_cast<long long>(serverFailed));
    if (flushing.failed()) {
        std::fprintf(stderr, "bench_post_spool: the flushing sink could not write its log\n");
        return 2;
    }

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
    if (share < leastShareOfFlushingSink) {
        std::fprintf(stderr, "bench_post_spool: the server keeps %.2f of the flushing sink's "
                     "rate, under %.2f\n", share, leastShareOfFlushingSink);
        return 1;
    }
    return 0;
}
