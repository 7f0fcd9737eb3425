// Start-up of the real tavernly program, measured from outside it:
//   (a) process start to its window mapped on the X server,
//   (b) process start to the directory filled: the program closes the list
//       connection right after filling the list, so the moment this bench's
//       list port sees that close,
//   (c) peak resident memory (VmHWM) once the directory and the start page
//       are in.
// The program's server address is compiled in (127.0.0.1, list port 8478,
// page port 6340), so this bench answers on those ports itself: 1,000 forum
// names on the list port, a small start page on the page port.
// The same (a) and (c) for a bare Qt window with one text browser give the floor.
//
//   xvfb-run -a -s "-screen 0 1024x768x24" bench_startup [--runs 7]

#include "benchsupport.h"
#include "localhttp.h"
#include "mapwatcher.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace bench;

namespace {

constexpr uint16_t listPort = 8478;
constexpr uint16_t pagePort = 6340;
constexpr int forumCount = 1000;
constexpr double settleMs = 300; // for the start page to be laid out and painted

// The list port: reads the request, writes the whole reply, half-closes like
// a server that is done, then notes when the client closes its end.
class ListResponder
{
public:
    explicit ListResponder(int listenFd)
        : m_listenFd(listenFd)
    {
        for (int i = 1; i <= forumCount; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Bench forum no. %04d", i); // 20 characters
            m_reply += (i > 1 ? "*" : "") + std::string(name);
        }
    }
    ~ListResponder()
    {
        m_stopping = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listenFd);
    }

    void start() { m_thread = std::thread([this] { serve(); }); }
    void reset() { m_closedAt = -1; }
    double closedAt() const { return m_closedAt.load(); }

private:
    bool waitReadable(int fd, int limitMs)
    {
        for (int waited = 0; waited < limitMs && !m_stopping; waited += 20) {
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void serve()
    {
        while (!m_stopping) {
            if (!waitReadable(m_listenFd, 100))
                continue;
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string request;
            char buffer[256];
            while (request.find("GETLIST") == std::string::npos && waitReadable(fd, 5000)) {
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                request.append(buffer, size_t(got));
            }
            if (request.find("GETLIST") != std::string::npos) {
                size_t sent = 0;
                while (sent < m_reply.size()) {
                    const ssize_t put = ::send(fd, m_reply.data() + sent, m_reply.size() - sent, MSG_NOSIGNAL);
                    if (put <= 0)
                        break;
                    sent += size_t(put);
                }
                ::shutdown(fd, SHUT_WR);
                // The client's close shows as end of file or as a reset.
                while (waitReadable(fd, 10000)) {
                    if (::read(fd, buffer, sizeof buffer) <= 0) {
                        m_closedAt = nowMs();
                        break;
                    }
                }
            }
            ::close(fd);
        }
    }

    int m_listenFd;
    std::string m_reply;
    std::atomic<bool> m_stopping{false};
    std::atomic<double> m_closedAt{-1};
    std::thread m_thread;
};

struct Run
{
    double shownMs = -1;
    double filledMs = -1;
    double peakKb = -1;
};

struct Samples
{
    std::vector<double> shown, filled, peakMb;
};

class StartupBench
{
public:
    StartupBench(MapWatcher &watcher, ListResponder &list, LocalHttpServer &pages)
        : m_watcher(watcher), m_list(list), m_pages(pages),
          m_log((std::filesystem::temp_directory_path() / ("bench-startup-" + std::to_string(getpid()) + ".log")).string())
    {
    }
    ~StartupBench() { std::filesystem::remove(m_log); }

    // One start of a program; withServer waits for the directory and start page too.
    bool runOnce(const std::string &program, const std::string &title, bool withServer, Run *run)
    {
        m_watcher.expect(title);
        m_list.reset();
        const int pagesBefore = m_pages.pagesServed();
        const double started = nowMs();
        const pid_t pid = spawn({program}, {"QT_QPA_PLATFORM=xcb"}, "/dev/null", m_log);
        if (pid < 0)
            return false;
        const double deadline = started + 15000;
        for (;;) {
            m_watcher.pump(5);
            const bool shown = m_watcher.mappedAt() >= 0;
            const bool filled = m_list.closedAt() >= 0 && m_pages.pagesServed() > pagesBefore;
            if (shown && (!withServer || filled))
                break;
            int code = 0;
            if (waitExit(pid, 0, &code)) {
                std::fprintf(stderr, "%s ended early (exit %d); its output:\n%s\n", program.c_str(), code,
                             readFile(m_log).c_str());
                return false;
            }
            if (nowMs() > deadline) {
                std::fprintf(stderr, "%s: no window%s within 15 s\n", program.c_str(),
                             withServer ? " or no directory" : "");
                killAndReap(pid);
                return false;
            }
        }
        run->shownMs = m_watcher.mappedAt() - started;
        run->filledMs = withServer ? m_list.closedAt() - started : -1;
        sleepMs(settleMs);
        run->peakKb = double(statusKb(pid, "VmHWM"));
        killAndReap(pid);
        return run->peakKb > 0;
    }

    // A warm-up start (not counted), then the measured ones.
    bool measure(const std::string &program, const std::string &title, bool withServer, int runs,
                 Samples *samples)
    {
        Run run;
        if (!runOnce(program, title, withServer, &run))
            return false;
        for (int i = 0; i < runs; ++i) {
            if (!runOnce(program, title, withServer, &run))
                return false;
            samples->shown.push_back(run.shownMs);
            samples->filled.push_back(run.filledMs);
            samples->peakMb.push_back(kbToMb(run.peakKb));
        }
        return true;
    }

private:
    MapWatcher &m_watcher;
    ListResponder &m_list;
    LocalHttpServer &m_pages;
    std::string m_log;
};

} // namespace

int main(int argc, char *argv[])
{
    int runs = 7;
    std::string client = TAVERNLY_CLIENT;
    std::string bare = TAVERNLY_BARE_WINDOW;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--client" && i + 1 < argc)
            client = argv[++i];
        else {
            std::printf("usage: %s [--runs N] [--client PATH]\n"
                        "Run under an X server: xvfb-run -a -s \"-screen 0 1024x768x24\" %s\n",
                        argv[0], argv[0]);
            return arg == "--help" ? 0 : 2;
        }
    }

    std::string error;
    const int listFd = listenLoopback(listPort, &error);
    if (listFd < 0) {
        std::fprintf(stderr, "bench_startup: port %u (list) is busy or unusable: %s. Stop whatever "
                             "listens there (a forum server?) and run again.\n", listPort, error.c_str());
        return 1;
    }
    ListResponder list(listFd);
    LocalHttpServer pages;
    pages.addPage("/dn.htm", "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavernly</title>"
                             "</head>\n<body><h1>Tavernly</h1>\n<p>Welcome to Tavernly, a small forum "
                             "service.</p>\n</body></html>\n");
    if (!pages.listen(pagePort, &error)) {
        std::fprintf(stderr, "bench_startup: port %u (pages) is busy or unusable: %s. Stop whatever "
                             "listens there (a forum server?) and run again.\n", pagePort, error.c_str());
        return 1;
    }
    MapWatcher watcher;
    if (!watcher.open(&error)) {
        std::fprintf(stderr, "bench_startup: %s\n", error.c_str());
        return 1;
    }
    list.start();
    pages.start();
    StartupBench bench(watcher, list, pages);

    std::printf("Start-up: %s, %d forums on 127.0.0.1:%u, start page on :%u; QT_QPA_PLATFORM=xcb; "
                "%d runs after one warm-up\n", client.c_str(), forumCount, listPort, pagePort, runs);
    Samples app;
    if (!bench.measure(client, "Tavernly", true, runs, &app))
        return 1;
    printFigure("process start to window shown", summarize(app.shown), "ms", 80);
    printFigure("process start to directory filled", summarize(app.filled), "ms", 120);
    printFigure("peak resident memory (VmHWM)", summarize(app.peakMb), "MB", 45);

    std::printf("Floor: a bare Qt window with one QTextBrowser (%s)\n", bare.c_str());
    Samples floor;
    if (!bench.measure(bare, "Bare text browser", false, runs, &floor))
        return 1;
    printFigure("process start to window shown", summarize(floor.shown), "ms");
    printFigure("peak resident memory (VmHWM)", summarize(floor.peakMb), "MB");
    return 0;
}
