#pragma once
// Loopback ports that misbehave in ways the fake server cannot: a connection
// that never opens, one that the server resets before the client's request
// has left, and a bare peer to read and answer by hand.

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// A listening socket on loopback, outside the event loop.
class RawPort
{
public:
    explicit RawPort(int backlog)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), size) == 0
            && ::listen(m_listener, backlog) == 0
            && ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~RawPort()
    {
        for (int filler : m_fillers)
            ::close(filler);
        ::close(m_listener);
    }
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    quint16 port() const { return m_port; }

    // Fills the queue of connections waiting to be accepted. Once it is full
    // the kernel ignores new attempts: they neither open nor fail.
    bool stall(int fillers)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        for (int i = 0; i < fillers; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
            m_fillers.push_back(filler);
            if (::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                return false;
        }
        return QTest::qWaitFor([&] { return waiting() == fillers; }, 5000);
    }

    // The next connection, blocking, or -1 if none came within 5 s. The caller closes it.
    int accept()
    {
        pollfd ready{m_listener, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1)
            return -1;
        return ::accept(m_listener, nullptr, nullptr);
    }

    // Accepts the next connection and closes it in order at once.
    bool acceptAndClose()
    {
        const int connection = accept();
        return connection >= 0 && ::close(connection) == 0;
    }

    // Accepts the next connection and resets it at once.
    bool acceptAndReset()
    {
        const int connection = accept();
        if (connection < 0)
            return false;
        const linger hard{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(connection);
        return true;
    }

private:
    // Connections in the accept queue, as the kernel counts them.
    int waiting() const
    {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(m_listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
            return -1;
        return int(info.tcpi_unacked);
    }

    int m_listener = -1;
    quint16 m_port = 0;
    std::vector<int> m_fillers;
};
