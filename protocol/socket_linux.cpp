// Linux can tell a reset from an orderly close: a second descriptor of the
// connection outlives Qt's, so the connection's final TCP state can still be
// read. Closed means reset; close-wait means the peer's close. Once our own
// side has ended, the peer's close ends in closed too: then an error still
// pending, or the count of what arrived, tells them apart.
#include "protocol/socket.h"

#include <cstddef>
#include <fcntl.h>
#include <linux/tcp.h> // the kernel's tcp_info, with its byte counts
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// TCP_CLOSE of the kernel's states, which its user headers leave out.
constexpr quint8 closedState = 7;

} // namespace

bool Socket::tellsResetFromClose()
{
    return true;
}

void Socket::watchConnection()
{
    releaseWatch();
    // Close-on-exec: a program started meanwhile (a browser for a link) would
    // otherwise keep the connection open after the client has closed it.
    m_witness = ::fcntl(int(m_socket.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
}

bool Socket::connectionWasReset() const
{
    if (m_witness < 0)
        return false;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(int(m_witness), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    if (info.tcpi_state != closedState)
        return false;
    if (!m_sendingEnded)
        return true;
    // A peer gone before our request reached it closed first, then reset what
    // came after; Qt's read stopped at the close, so that reset is still pending.
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(int(m_witness), SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0)
        return true;
    // The peer's close takes one sequence number past its data, counted in
    // bytes_received; a reset takes none. Qt has read all there was by now.
    if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return false; // a kernel too old to count: a reset ends as a close does
    const auto taken = quint64(m_taken + m_socket.bytesAvailable());
    return info.tcpi_bytes_received != taken + 1;
}

void Socket::releaseWatch()
{
    if (m_witness >= 0) {
        ::close(int(m_witness));
        m_witness = -1;
    }
}

void Socket::shutdownSending()
{
    ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
}
