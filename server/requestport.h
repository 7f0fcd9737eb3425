#pragma once
// A plain TCP request port: one request per connection, handled by a
// per-connection object that lives as a child of its socket.

#include "server/connectionguard.h"

#include <QObject>

class ForumStore;
class QTcpSocket;

class RequestPort : public QObject
{
    Q_OBJECT
public:
    enum class Kind { List, Create, Post };

    RequestPort(Kind kind, ForumStore &store, const ServerConfig &config,
                std::shared_ptr<int> openCount, LogSink log, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    void close(); // refuses new connections; open ones go on
    bool isListening() const;

    // Post port: stores every post whose client has already finished sending.
    void settlePosts();

private:
    void acceptPending();

    Kind m_kind;
    ForumStore &m_store;
    ServerConfig m_config;
    LogSink m_log;
    GuardedTcpServer *m_server;
};

// Text that names the peer in log lines.
QString peerName(const QTcpSocket *socket);
