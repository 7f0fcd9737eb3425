// Every other platform: Qt's sockets report a reset by the peer as the peer's
// close, and nothing portable is left to ask afterwards. The connection's end
// is what Qt says it is. The half-close is the system's own call.
#include "protocol/socket.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

bool Socket::tellsResetFromClose()
{
    return false;
}

void Socket::watchConnection() {}

bool Socket::connectionWasReset() const
{
    return false;
}

void Socket::releaseWatch() {}

void Socket::shutdownSending()
{
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(m_socket.socketDescriptor()), SD_SEND);
#else
    ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
#endif
}
