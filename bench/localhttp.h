#pragma once
// A minimal HTTP responder on 127.0.0.1 for the benchmarks: fixed pages by
// path, one thread per connection, "Connection: close" after every answer.
// It lives on its own threads so that it takes nothing from the event loop of
// whatever it serves.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class LocalHttpServer
{
public:
    LocalHttpServer() = default;
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer &) = delete;
    LocalHttpServer &operator=(const LocalHttpServer &) = delete;

    // Pages must be added before start().
    void addPage(const std::string &path, std::string html);
    // Binds 127.0.0.1:port (0: any free port). False with *error set when busy.
    bool listen(uint16_t port, std::string *error);
    uint16_t port() const { return m_port; }
    std::string url(const std::string &path) const;
    void start();
    void stop();

    // How many times a known page has been answered, all paths together.
    int pagesServed() const { return m_served.load(); }

private:
    void acceptLoop();
    void answer(int fd);

    std::map<std::string, std::string> m_pages;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_served{0};
    std::thread m_acceptor;
    std::mutex m_workersLock;
    std::vector<std::thread> m_workers;
};

// Binds a listening TCP socket on 127.0.0.1; returns the fd or -1 with *error.
int listenLoopback(uint16_t port, std::string *error);

} // namespace bench
