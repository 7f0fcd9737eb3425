#include "server/net/proxyheader.h"

#include <QList>

namespace proxyheader {

namespace {

constexpr QByteArrayView v1Start("PROXY ");
constexpr char v2SignatureBytes[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr QByteArrayView v2Signature(v2SignatureBytes, 12);

Result invalid()
{
    return {};
}

Result needMore()
{
    return {Result::Kind::NeedMore, 0, {}, 0};
}

// Decimal, no sign and no leading zero, 0 to 65535.
bool readPort(QByteArrayView text, quint16 *port)
{
    if (text.isEmpty() || text.size() > 5 || (text.size() > 1 && text.front() == '0'))
        return false;
    uint value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint(c - '0');
    }
    if (value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

Result parseV1(QByteArrayView bytes)
{
    const qsizetype end = bytes.first(qMin(bytes.size(), maxV1Bytes)).indexOf('\n');
    if (end < 0)
        return bytes.size() < maxV1Bytes ? needMore() : invalid();
    if (end < 1 || bytes.at(end - 1) != '\r')
        return invalid();
    const QList<QByteArrayView> fields = [&] {
        QList<QByteArrayView> list;
        for (QByteArrayView rest = bytes.first(end - 1);;) {
            const qsizetype space = rest.indexOf(' ');
            list.append(rest.first(space < 0 ? rest.size() : space));
            if (space < 0)
                return list;
            rest = rest.sliced(space + 1);
        }
    }();
    const Result local{Result::Kind::Local, end + 1, {}, 0};
    if (fields.size() >= 2 && fields.at(1) == "UNKNOWN")
        return local; // whatever follows is to be ignored
    if (fields.size() != 6 || (fields.at(1) != "TCP4" && fields.at(1) != "TCP6"))
        return invalid();
    const auto family = fields.at(1) == "TCP4" ? QAbstractSocket::IPv4Protocol
                                               : QAbstractSocket::IPv6Protocol;
    const QHostAddress source(QString::fromLatin1(fields.at(2)));
    const QHostAddress destination(QString::fromLatin1(fields.at(3)));
    quint16 sourcePort = 0, destinationPort = 0;
    if (source.protocol() != family || destination.protocol() != family
        || !readPort(fields.at(4), &sourcePort) || !readPort(fields.at(5), &destinationPort))
        return invalid();
    return {Result::Kind::Proxied, end + 1, source, sourcePort};
}

quint16 bigEndian16(QByteArrayView bytes, qsizetype at)
{
    return quint16((uchar(bytes.at(at)) << 8) | uchar(bytes.at(at + 1)));
}

Result parseV2(QByteArrayView bytes)
{
    if (bytes.size() < 16) // the signature so far was checked by the caller
        return needMore();
    const uchar versionCommand = uchar(bytes.at(12));
    const uchar family = uchar(bytes.at(13));
    const qsizetype length = 16 + bigEndian16(bytes, 14);
    if ((versionCommand >> 4) != 2 || (versionCommand & 0x0f) > 1 || length > maxV2Bytes)
        return invalid();
    if (bytes.size() < length)
        return needMore();
    const Result local{Result::Kind::Local, length, {}, 0};
    if ((versionCommand & 0x0f) == 0) // LOCAL: the proxy's own connection, e.g. a health check
        return local;
    const uchar *addresses = reinterpret_cast<const uchar *>(bytes.data()) + 16;
    switch (family) {
    case 0x11: // TCP over IPv4: source, destination, their ports
        if (length < 16 + 12)
            return invalid();
        return {Result::Kind::Proxied, length,
                QHostAddress(quint32(addresses[0]) << 24 | quint32(addresses[1]) << 16
                             | quint32(addresses[2]) << 8 | addresses[3]),
                bigEndian16(bytes, 16 + 8)};
    case 0x21: // TCP over IPv6
        if (length < 16 + 36)
            return invalid();
        return {Result::Kind::Proxied, length, QHostAddress(addresses),
                bigEndian16(bytes, 16 + 32)};
    default: // unspecified, UDP or a local socket: no client address to take
        return local;
    }
}

} // namespace

Result parse(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return needMore();
    if (bytes.front() == 'P') {
        const qsizetype n = qMin(bytes.size(), v1Start.size());
        if (bytes.first(n) != v1Start.first(n))
            return invalid();
        return n < v1Start.size() ? needMore() : parseV1(bytes);
    }
    const qsizetype n = qMin(bytes.size(), v2Signature.size());
    if (bytes.first(n) != v2Signature.first(n))
        return invalid();
    return parseV2(bytes);
}

} // namespace proxyheader
