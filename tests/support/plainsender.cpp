#include "plainsender.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kit {

namespace {

void setTimeouts(int fd, int timeoutMs)
{
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

bool sendAll(int fd, const QByteArray &bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

} // namespace

int connectLoopback(quint16 port, int buffers, const char *from)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from, &local.sin_addr) != 1
            || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    if (buffers > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffers, sizeof buffers);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffers, sizeof buffers);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray exchange(quint16 port, const QByteArray &request, bool *ok, int timeoutMs,
                    const char *from)
{
    if (ok)
        *ok = false;
    const int fd = connectLoopback(port, 0, from);
    if (fd < 0)
        return {};
    setTimeouts(fd, timeoutMs);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    QByteArray reply;
    if (sendAll(fd, request)) {
        ::shutdown(fd, SHUT_WR);
        // All of it within timeoutMs, however the reply trickles.
        const QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0 && !deadline.hasExpired())
            reply.append(buffer, got);
        if (ok)
            *ok = got == 0;
    }
    ::close(fd);
    return reply;
}

bool post(quint16 port, const QByteArray &request, int timeoutMs, const char *from)
{
    const int fd = connectLoopback(port, 0, from);
    if (fd < 0)
        return false;
    setTimeouts(fd, timeoutMs);
    const bool sent = sendAll(fd, request);
    ::close(fd);
    return sent;
}

} // namespace kit
