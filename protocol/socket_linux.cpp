// Linux can tell a reset from an orderly close: a second descriptor of the
// connection outlives Qt's, so the connection's final TCP state can still be
// read. Closed means reset; close-wait means the peer's close.
#include "protocol/socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
    return info.tcpi_state == TCP_CLOSE;
}

void Socket::releaseWatch()
{
    if (m_witness >= 0) {
        ::close(int(m_witness));
        m_witness = -1;
    }
}
