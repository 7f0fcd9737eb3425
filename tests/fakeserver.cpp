#include "fakeserver.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Closing with a zero linger time sends a reset instead of an orderly close.
void lingerHard(qintptr descriptor)
{
    const linger hard{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void resetConnection(QTcpSocket &socket)
{
    lingerHard(socket.socketDescriptor());
    socket.abort();
}

} // namespace

FakeServer::FakeServer(QObject *parent)
    : QObject(parent)
{
    for (Lane &lane : m_lanes) {
        listen(lane);
        connect(&lane.listener, &QTcpServer::newConnection, this, [this, &lane] { accept(lane); });
    }
    m_http.listen(QHostAddress::LocalHost, 0);
    connect(&m_http, &QTcpServer::newConnection, this, &FakeServer::acceptHttp);
}

FakeServer::~FakeServer()
{
    for (Lane &lane : m_lanes) {
        for (Connection *connection : std::as_const(lane.connections)) {
            if (connection->held >= 0)
                ::close(connection->held);
            if (connection->socket) {
                connection->socket->disconnect();
                delete connection->socket;
            }
        }
        qDeleteAll(lane.connections);
    }
}

void FakeServer::listen(Lane &lane)
{
    if (lane.listener.isListening())
        return;
    lane.listener.listen(QHostAddress::LocalHost, lane.port);
    lane.port = lane.listener.serverPort();
}

ServerEndpoint FakeServer::endpoint() const
{
    ServerEndpoint server;
    server.host = QStringLiteral("127.0.0.1");
    server.listPort = m_lanes[List].port;
    server.createPort = m_lanes[Create].port;
    server.postPort = m_lanes[Post].port;
    server.httpPort = m_http.isListening() ? m_http.serverPort() : m_pagePort;
    server.serviceUrl = QStringLiteral("http://tavernly.test/");
    return server;
}

void FakeServer::script(Kind kind, const Behaviour &behaviour)
{
    Lane &lane = m_lanes[kind];
    lane.behaviour = behaviour;
    if (behaviour.action == Behaviour::Refuse)
        lane.listener.close();
    else
        listen(lane);
}

QList<QByteArray> FakeServer::requests(Kind kind) const
{
    QList<QByteArray> all;
    for (const Connection *connection : m_lanes[kind].connections)
        all.append(connection->received);
    return all;
}

int FakeServer::closedCount(Kind kind) const
{
    int closed = 0;
    for (const Connection *connection : m_lanes[kind].connections)
        closed += connection->ended;
    return closed;
}

void FakeServer::resetOpenConnections(Kind kind)
{
    for (Connection *connection : std::as_const(m_lanes[kind].connections)) {
        if (connection->held >= 0) {
            lingerHard(connection->held);
            ::close(std::exchange(connection->held, -1));
        }
        if (connection->socket && !connection->ended) {
            resetConnection(*connection->socket);
            connection->ended = true;
        }
    }
}

void FakeServer::accept(Lane &lane)
{
    while (QTcpSocket *socket = lane.listener.nextPendingConnection()) {
        auto *connection = new Connection{socket, {}, false, false, -1};
        lane.connections.append(connection);
        // Qt closes its socket at the peer's end (a half-close too): a second
        // descriptor holds the connection open for a server that stays silent
        // or does something after that end.
        if (lane.behaviour.afterPeerEndMs >= 0 || lane.behaviour.action == Behaviour::Silent)
            connection->held = ::fcntl(int(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        connect(socket, &QTcpSocket::readyRead, this, [this, &lane, connection] { onData(lane, connection); });
        connect(socket, &QTcpSocket::disconnected, this, [this, &lane, connection] {
            connection->received += connection->socket->readAll();
            connection->ended = true;
            connection->socket->deleteLater();
            if (connection->held >= 0 && lane.behaviour.afterPeerEndMs >= 0)
                QTimer::singleShot(lane.behaviour.afterPeerEndMs, this, [connection, behaviour = lane.behaviour] {
                    answerHeld(connection, behaviour);
                });
        });
    }
}

void FakeServer::onData(Lane &lane, Connection *connection)
{
    connection->received += connection->socket->readAll();
    const Behaviour &behaviour = lane.behaviour;
    if (connection->answered || connection->received.size() < behaviour.requestBytes
        || connection->held >= 0)
        return;
    connection->answered = true;
    answer(connection, behaviour);
}

void FakeServer::answer(Connection *connection, const Behaviour &behaviour)
{
    QTcpSocket *socket = connection->socket;
    switch (behaviour.action) {
    case Behaviour::Silent:
    case Behaviour::Refuse:
        return;
    case Behaviour::Reset:
        if (!behaviour.pieces.isEmpty())
            break; // the pieces go out first
        resetConnection(*socket);
        connection->ended = true;
        return;
    case Behaviour::Close:
        socket->disconnectFromHost();
        return;
    case Behaviour::Reply:
        break;
    }
    // Pieces go out one by one, pieceDelayMs apart.
    const bool reset = behaviour.action == Behaviour::Reset;
    int delay = 0;
    for (qsizetype i = 0; i < behaviour.pieces.size(); ++i) {
        const QByteArray piece = behaviour.pieces.at(i);
        const bool last = i + 1 == behaviour.pieces.size();
        QTimer::singleShot(delay, socket, [socket, piece, last, keepOpen = behaviour.keepOpen || reset] {
            socket->write(piece);
            socket->flush();
            if (last && !keepOpen)
                socket->disconnectFromHost();
        });
        delay += behaviour.pieceDelayMs;
    }
    if (reset) {
        QTimer::singleShot(delay, socket, [socket, connection] {
            resetConnection(*socket);
            connection->ended = true;
        });
    }
    if (behaviour.pieces.isEmpty() && !behaviour.keepOpen)
        socket->disconnectFromHost();
}

void FakeServer::answerHeld(Connection *connection, const Behaviour &behaviour)
{
    if (behaviour.action == Behaviour::Silent || behaviour.action == Behaviour::Refuse)
        return; // held until the fake server goes
    for (const QByteArray &piece : behaviour.pieces)
        ::send(connection->held, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL);
    if (behaviour.action == Behaviour::Reset)
        lingerHard(connection->held);
    ::close(std::exchange(connection->held, -1));
}

void FakeServer::acceptHttp()
{
    while (QTcpSocket *socket = m_http.nextPendingConnection()) {
        ++m_httpOpen;
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_httpOpen;
            socket->deleteLater();
        });
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = buffer->left(end);
            const QByteArray path = buffer->left(buffer->indexOf("\r\n")).split(' ').value(1);
            buffer->remove(0, end + 4);
            m_httpPaths.append(QString::fromLatin1(path));
            m_httpHeads.append(head);
            if (m_pageScripts.contains(path)) {
                answerPage(socket, m_pageScripts.value(path));
                return;
            }
            if (m_hanging.contains(path)) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n\r\n<p>");
                return;
            }
            if (const QByteArray etag = m_etags.value(path); !etag.isEmpty()) {
                const QByteArray validator = "ETag: " + etag + "\r\nCache-Control: no-cache\r\n";
                if (head.contains("\r\nIf-None-Match: " + etag)) {
                    socket->write("HTTP/1.1 304 Not Modified\r\n" + validator + "Connection: close\r\n\r\n");
                } else {
                    const QByteArray body = m_pages.value(path);
                    socket->write("HTTP/1.1 200 OK\r\n" + validator
                                  + "Content-Type: text/html; charset=utf-8\r\nContent-Length: "
                                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                }
                socket->disconnectFromHost();
                return;
            }
            const bool known = m_pages.contains(path);
            const QByteArray body = known ? m_pages.value(path) : QByteArrayLiteral("<p>Not found</p>");
            socket->write((known ? QByteArrayLiteral("HTTP/1.1 200 OK\r\n") : QByteArrayLiteral("HTTP/1.1 404 Not Found\r\n"))
                          + QByteArrayLiteral("Content-Type: text/html; charset=utf-8\r\nContent-Length: ")
                          + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }
}

void FakeServer::answerPage(QTcpSocket *socket, const Behaviour &behaviour)
{
    switch (behaviour.action) {
    case Behaviour::Silent:
    case Behaviour::Refuse:
        return;
    case Behaviour::Close:
        socket->disconnectFromHost();
        return;
    case Behaviour::Reset:
    case Behaviour::Reply:
        break;
    }
    const bool reset = behaviour.action == Behaviour::Reset;
    int delay = 0;
    for (const QByteArray &piece : behaviour.pieces) {
        QTimer::singleShot(delay, socket, [socket, piece] {
            socket->write(piece);
            socket->flush();
        });
        delay += behaviour.pieceDelayMs;
    }
    // The ending comes with the last piece, a reset pieceDelayMs after it.
    const int end = reset ? delay : std::max(0, delay - behaviour.pieceDelayMs);
    if (reset)
        QTimer::singleShot(end, socket, [socket] { resetConnection(*socket); });
    else if (!behaviour.keepOpen)
        QTimer::singleShot(end, socket, [socket] { socket->disconnectFromHost(); });
}

void FakeServer::refusePages(bool refused)
{
    if (refused && m_http.isListening()) {
        m_pagePort = m_http.serverPort();
        m_http.close();
    } else if (!refused && !m_http.isListening()) {
        m_http.listen(QHostAddress::LocalHost, m_pagePort);
    }
}
