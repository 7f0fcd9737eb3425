#include "server/net/connectionlimit.h"

#include "server/base/mainthread.h"

#include "server/base/servermetrics.h"
#include "server/net/proxyheader.h"
#include "server/net/streamconnection.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ConnectionLimit::ConnectionLimit(Settings settings, LogSink log, QObject *parent)
    : QObject(parent), m_settings(settings), m_log(std::move(log))
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    m_roomCheck.setInterval(10);
    connect(&m_roomCheck, &QTimer::timeout, this, &ConnectionLimit::makeRoom);
}

void ConnectionLimit::addPort(ListeningPort *port)
{
    m_ports.append(port);
}

void ConnectionLimit::removePort(ListeningPort *port)
{
    m_ports.removeAll(port);
}

void ConnectionLimit::acceptWaiting()
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    for (ListeningPort *port : std::as_const(m_ports))
        port->acceptWaiting(16);
}

StreamConnection *ConnectionLimit::serve(ListeningPort *port, int descriptor,
                                         const QHostAddress &peer, quint16 peerPort)
{
    auto *connection =
        new StreamConnection(descriptor, peer, peerPort, m_settings.requestMs,
                             port->m_resetOnClose, port);
    m_open.append(connection);
    const std::string name = port->name().toStdString();
    metrics::connectionAccepted(name);
    connect(connection, &StreamConnection::closed, this, [this, connection, name] {
        metrics::connectionClosed(name);
        released(connection);
    });
    connect(connection, &StreamConnection::cutOff, this,
            [name](const QString &, StreamConnection::Cut cut) {
        switch (cut) {
        case StreamConnection::Cut::Room: metrics::connectionCut(name, "limit"); break;
        case StreamConnection::Cut::Idle: metrics::connectionCut(name, "idle"); break;
        case StreamConnection::Cut::Deadline: metrics::connectionCut(name, "deadline"); break;
        }
    });
    if (!hasRoom())
        setAccepting(false);
    return connection;
}

void ConnectionLimit::released(StreamConnection *connection)
{
    m_open.removeOne(connection);
    if (hasRoom() && !m_accepting) {
        setAccepting(true);
        // Those that queued meanwhile are not announced again.
        QTimer::singleShot(0, this, &ConnectionLimit::acceptWaiting);
    }
}

void ConnectionLimit::setAccepting(bool accepting)
{
    if (accepting == m_accepting)
        return;
    m_accepting = accepting;
    for (ListeningPort *port : std::as_const(m_ports))
        port->setAccepting(accepting);
    if (accepting) {
        m_roomCheck.stop();
    } else {
        m_log(QStringLiteral("limit of %1 connections reached: new ones wait")
                  .arg(m_settings.maxConnections));
        m_roomCheck.start();
    }
}

void ConnectionLimit::makeRoom()
{
    const bool waiting = std::any_of(m_ports.cbegin(), m_ports.cend(),
                                     [](const ListeningPort *p) { return p->hasWaiting(); });
    if (m_accepting || !waiting)
        return;
    // Oldest first; a copy, as cutting one off changes the list.
    const QList<StreamConnection *> open = m_open;
    for (StreamConnection *connection : open) {
        if (connection->age() < m_settings.makeRoomAfterMs)
            return; // the rest are younger still
        if (!connection->isFinished() && connection->makeRoom())
            return;
    }
}

namespace {

// A peer's port, or a socket's own.
quint16 peerPort(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
}

} // namespace

ListeningPort::ListeningPort(const QString &name, ConnectionLimit &limit, QObject *parent)
    : QObject(parent), m_name(name), m_limit(limit)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    m_limit.addPort(this);
}

ListeningPort::~ListeningPort()
{
    m_limit.removePort(this);
    if (m_fd >= 0 && m_fd != m_inherited)
        ::close(m_fd);
    if (m_inherited >= 0)
        ::close(m_inherited);
}

void ListeningPort::inherit(int fd)
{
    m_inherited = fd;
}

bool ListeningPort::takeInherited()
{
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    sockaddr_storage storage{};
    socklen_t addressLength = sizeof storage;
    if (::getsockopt(m_inherited, SOL_SOCKET, SO_TYPE, &type, &length) != 0
        || ::getsockopt(m_inherited, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0
        || ::getsockname(m_inherited, reinterpret_cast<sockaddr *>(&storage), &addressLength) != 0
        || (storage.ss_family != AF_INET && storage.ss_family != AF_INET6)) {
        m_error = QStringLiteral("the socket passed for it is not a TCP socket");
        return false;
    }
    if (type != SOCK_STREAM || !listening) {
        m_error = QStringLiteral("the socket passed for it is not a listening TCP socket");
        return false;
    }
    const int flags = ::fcntl(m_inherited, F_GETFL);
    if (flags < 0 || ::fcntl(m_inherited, F_SETFL, flags | O_NONBLOCK) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_fd = m_inherited;
    m_port = peerPort(storage);
    return watch();
}

bool ListeningPort::listen(const QHostAddress &address, quint16 port)
{
    if (m_inherited >= 0)
        return takeInherited();
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR raw = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &raw, sizeof raw);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    // Room in the system's queue for a burst of clients connecting at once.
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0
        || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    m_port = peerPort(storage);
    return watch();
}

bool ListeningPort::watch()
{
    // Set (or cleared) either way: an inherited socket may hold an earlier server's choice.
    const linger hard{m_resetOnClose ? 1 : 0, 0};
    if (::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (m_fd != m_inherited)
            ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    // A few at a time: senders that reconnect at once must not keep the
    // other ports waiting for this one's queue to run dry.
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { acceptWaiting(16); });
    setAccepting(m_limit.m_accepting);
    return true;
}

void ListeningPort::close()
{
    if (m_inherited >= 0) {
        delete m_notifier;
        m_notifier = nullptr;
        m_fd = -1;
        return;
    }
    // Those already in the system's queue may have sent everything and gone:
    // taken in (as far as the limit allows) rather than reset with the socket.
    const bool paused = std::exchange(m_paused, false);
    acceptWaiting();
    m_paused = paused;
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

int ListeningPort::queued() const
{
    // For a listening socket Linux reports its accept queue's length here.
    tcp_info info{};
    socklen_t length = sizeof info;
    if (m_fd < 0 || ::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return backlog;
    return int(info.tcpi_unacked);
}

void ListeningPort::acceptWaiting(int most)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (most < 0)
        most = queued();
    for (int taken = 0; taken < most && m_fd >= 0 && !m_paused && m_limit.hasRoom(); ++taken) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int descriptor = ::accept4(m_fd, reinterpret_cast<sockaddr *>(&peer), &length,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if ((errno == EMFILE || errno == ENFILE) && m_notifier) {
                // Out of descriptors: the queue keeps them until some close.
                m_notifier->setEnabled(false);
                QTimer::singleShot(100, this, [this] { setAccepting(m_limit.m_accepting); });
            }
            return;
        }
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        StreamConnection *connection = m_limit.serve(this, descriptor, address, peerPort(peer));
        const QList<QHostAddress> &trusted = m_limit.m_settings.trustedProxies;
        // An IPv6 socket sees an IPv4 balancer as ::ffff:a.b.c.d: the same address.
        if (std::any_of(trusted.cbegin(), trusted.cend(), [&](const QHostAddress &proxy) {
                return proxy.isEqual(address, QHostAddress::TolerantConversion);
            }))
            awaitProxyHeader(connection);
        else
            emit accepted(connection);
        // A short request has usually arrived whole by now: answered at once,
        // without another round of the event loop. This first read also
        // starts the watch for whatever is still to come.
        connection->readNow();
    }
}

bool ListeningPort::hasWaiting() const
{
    pollfd listening{m_fd, POLLIN, 0};
    return m_fd >= 0 && !m_paused && ::poll(&listening, 1, 0) > 0;
}

void ListeningPort::setAccepting(bool accepting)
{
    if (m_notifier)
        m_notifier->setEnabled(accepting && !m_paused);
}

void ListeningPort::setPaused(bool paused)
{
    m_paused = paused;
    setAccepting(m_limit.m_accepting);
    if (!paused)
        QTimer::singleShot(0, this, [this] { acceptWaiting(16); });
}

void ListeningPort::awaitProxyHeader(StreamConnection *connection)
{
    // Until then the connection is unfinished: the request deadline and
    // making room cut it off like any other.
    auto waiting = std::make_shared<QMetaObject::Connection>();
    *waiting = connect(connection, &StreamConnection::readyRead, this, [this, connection, waiting] {
        const proxyheader::Result header = proxyheader::parse(connection->input());
        using Kind = proxyheader::Result::Kind;
        if (header.kind == Kind::NeedMore && !connection->inputEnded())
            return;
        disconnect(*waiting); // the handler reads from here on
        if (header.kind == Kind::NeedMore || header.kind == Kind::Invalid) {
            metrics::connectionCut(m_name.toStdString(), "proxy_header");
            m_limit.m_log(QStringLiteral("%1 %2 cut off: no valid PROXY header from a trusted proxy")
                              .arg(m_name, connection->peer()));
            connection->abort();
            return;
        }
        connection->input().remove(0, header.length);
        if (header.kind == Kind::Proxied)
            connection->setPeer(header.address, header.port);
        emit accepted(connection);
    });
}
