// Every other platform: Qt's sockets report a reset by the peer as the peer's
// close, and nothing portable is left to ask afterwards. The connection's end
// is what Qt says it is.
#include "protocol/socket.h"

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
