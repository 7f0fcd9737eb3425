#include "server/requestport.h"

#include "server/createconnection.h"
#include "server/listconnection.h"
#include "server/postconnection.h"

#include <QTcpSocket>

namespace {
QString portName(RequestPort::Kind kind)
{
    switch (kind) {
    case RequestPort::Kind::List: return QStringLiteral("list");
    case RequestPort::Kind::Create: return QStringLiteral("create");
    case RequestPort::Kind::Post: return QStringLiteral("post");
    }
    return {};
}
} // namespace

QString peerName(const QTcpSocket *socket)
{
    return socket->peerAddress().toString() + u':' + QString::number(socket->peerPort());
}

RequestPort::RequestPort(Kind kind, ForumStore &store, const ServerConfig &config,
                         std::shared_ptr<int> openCount, LogSink log, QObject *parent)
    : QObject(parent),
      m_kind(kind),
      m_store(store),
      m_config(config),
      m_log(log),
      m_server(new GuardedTcpServer(portName(kind), std::move(openCount), config, log, this))
{
    connect(m_server, &QTcpServer::newConnection, this, &RequestPort::acceptPending);
}

bool RequestPort::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 RequestPort::port() const
{
    return m_server->serverPort();
}

QString RequestPort::errorString() const
{
    return m_server->errorString();
}

bool RequestPort::isListening() const
{
    return m_server->isListening();
}

void RequestPort::close()
{
    m_server->close();
}

void RequestPort::acceptPending()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        switch (m_kind) {
        case Kind::List: new ListConnection(socket, m_store, m_config, m_log); break;
        case Kind::Create: new CreateConnection(socket, m_store, m_config, m_log); break;
        case Kind::Post: new PostConnection(socket, m_store, m_log); break;
        }
    }
}

void RequestPort::settlePosts()
{
    // Connections still waiting in the system's queue are taken in too.
    bool timedOut = false;
    while (m_server->waitForNewConnection(0, &timedOut) && !timedOut) {
    }
    for (PostConnection *post : m_server->findChildren<PostConnection *>())
        post->settle();
}
