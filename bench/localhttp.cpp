#include "localhttp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

int listenLoopback(uint16_t port, std::string *error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(fd, 64) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

LocalHttpServer::~LocalHttpServer()
{
    stop();
}

void LocalHttpServer::addPage(const std::string &path, std::string html)
{
    m_pages[path] = std::move(html);
}

bool LocalHttpServer::listen(uint16_t port, std::string *error)
{
    m_listenFd = listenLoopback(port, error);
    if (m_listenFd < 0)
        return false;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &size);
    m_port = ntohs(address.sin_port);
    return ::pipe2(m_wakeFds, O_CLOEXEC) == 0;
}

std::string LocalHttpServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void LocalHttpServer::start()
{
    m_acceptor = std::thread([this] { acceptLoop(); });
}

void LocalHttpServer::stop()
{
    if (m_stopping.exchange(true))
        return;
    if (m_wakeFds[1] >= 0)
        (void)!::write(m_wakeFds[1], "x", 1);
    if (m_acceptor.joinable())
        m_acceptor.join();
    {
        std::lock_guard<std::mutex> lock(m_workersLock);
        for (std::thread &worker : m_workers)
            worker.join();
        m_workers.clear();
    }
    for (int fd : {m_listenFd, m_wakeFds[0], m_wakeFds[1]})
        if (fd >= 0)
            ::close(fd);
}

void LocalHttpServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (m_stopping.load() || fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_workersLock);
        m_workers.emplace_back([this, fd] { answer(fd); });
    }
}

// Reads the request head (a browser may open a connection and send nothing
// for a while), then answers the page or 404 and closes.
void LocalHttpServer::answer(int fd)
{
    std::string request;
    char buffer[4096];
    int waited = 0;
    while (request.find("\r\n\r\n") == std::string::npos && !m_stopping.load() && waited < 10000) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 50) == 0) {
            waited += 50;
            continue;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        request.append(buffer, size_t(got));
    }
    if (request.find("\r\n\r\n") == std::string::npos) {
        ::close(fd);
        return;
    }
    const size_t pathStart = request.find(' ') + 1;
    const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
    const auto page = m_pages.find(path);
    const bool found = page != m_pages.end();
    const std::string body = found ? page->second : std::string("<html><body>Not found</body></html>");
    std::string response = std::string(found ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
        + "Content-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n";
    if (request.compare(0, 5, "HEAD ") != 0)
        response += body;
    size_t sent = 0;
    while (sent < response.size()) {
        const ssize_t put = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (put <= 0)
            break;
        sent += size_t(put);
    }
    if (found && sent == response.size())
        ++m_served;
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

} // namespace bench
