#include "server/connectionguard.h"

#include <QTcpSocket>

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, std::shared_ptr<int> openCount, int idleMs)
    : QObject(socket), m_openCount(std::move(openCount))
{
    ++*m_openCount;
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleMs);
    auto restart = [this] { m_idle.start(); };
    connect(socket, &QTcpSocket::readyRead, this, restart);
    connect(socket, &QTcpSocket::bytesWritten, this, restart);
    connect(&m_idle, &QTimer::timeout, this, [this, socket] {
        emit idleTimeout();
        socket->abort();
        // The page server may have cut its own signals from a socket it gave
        // up on; deleting here makes sure the connection is released.
        socket->deleteLater();
    });
    m_idle.start();
}

ConnectionGuard::~ConnectionGuard()
{
    --*m_openCount;
}

ConnectionGuard *ConnectionGuard::of(QTcpSocket *socket)
{
    return socket->findChild<ConnectionGuard *>(QString(), Qt::FindDirectChildrenOnly);
}

GuardedTcpServer::GuardedTcpServer(const QString &portName, std::shared_ptr<int> openCount,
                                   const ServerConfig &config, LogSink log, QObject *parent)
    : QTcpServer(parent),
      m_portName(portName),
      m_openCount(std::move(openCount)),
      m_maxConnections(config.maxConnections),
      m_idleMs(config.idleMs),
      m_log(std::move(log))
{
    // Room for a burst of clients connecting at once; Qt's default is 50.
    setListenBacklogSize(256);
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (*m_openCount >= m_maxConnections) {
        m_log(QStringLiteral("%1 refused %2: %3 connections open")
                  .arg(m_portName, socket->peerAddress().toString())
                  .arg(*m_openCount));
        socket->abort();
        delete socket;
        return;
    }
    socket->setReadBufferSize(m_readBufferSize);
    new ConnectionGuard(socket, m_openCount, m_idleMs);
    addPendingConnection(socket); // QTcpServer emits newConnection
}
