#pragma once
// Limits shared by all four ports: how many connections are open at once,
// and how long a connection may stay silent.

#include "server/serverconfig.h"

#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <memory>

class QTcpSocket;

// Watches one accepted socket; a child of it, so it lives exactly as long.
class ConnectionGuard : public QObject
{
    Q_OBJECT
public:
    ConnectionGuard(QTcpSocket *socket, std::shared_ptr<int> openCount, int idleMs);
    ~ConnectionGuard() override;

    static ConnectionGuard *of(QTcpSocket *socket);

signals:
    // Emitted just before the guard aborts the silent connection, so that a
    // handler can tell this from the client closing.
    void idleTimeout();

private:
    std::shared_ptr<int> m_openCount;
    QTimer m_idle;
};

// A listening socket that counts its connections against a shared limit
// and closes those over it at once.
class GuardedTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    GuardedTcpServer(const QString &portName, std::shared_ptr<int> openCount,
                     const ServerConfig &config, LogSink log, QObject *parent = nullptr);

    // Bounds what one connection may have buffered; 0: no bound.
    void setSocketReadBufferSize(qint64 size) { m_readBufferSize = size; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 m_readBufferSize = 0;
    QString m_portName;
    std::shared_ptr<int> m_openCount;
    int m_maxConnections;
    int m_idleMs;
    LogSink m_log;
};
