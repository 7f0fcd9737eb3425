#pragma once
// The PROXY protocol header (versions 1 and 2) a load balancer sends first
// on each connection it makes, naming the client it came from. Pure: bytes
// in, a verdict out; nothing is read or kept.

#include <QByteArrayView>
#include <QHostAddress>

namespace proxyheader {

inline constexpr qsizetype maxV1Bytes = 107; // the whole line, CRLF included
// Version 2 is 16 bytes and an announced length: addresses (at most 216
// bytes) and optional extensions. Anything longer is not a header we take.
inline constexpr qsizetype maxV2Bytes = 16 + 512;

struct Result
{
    enum class Kind {
        NeedMore, // a proper beginning of a header: wait for more
        Proxied,  // a header naming the client: address and port
        Local,    // a header naming nobody (v1 UNKNOWN, v2 LOCAL or another family):
                  // the connection's own address stands
        Invalid,  // not a header, or a broken or oversized one
    };
    Kind kind = Kind::Invalid;
    qsizetype length = 0; // of the header, for Proxied and Local
    QHostAddress address;
    quint16 port = 0;
};

Result parse(QByteArrayView bytes);

} // namespace proxyheader
