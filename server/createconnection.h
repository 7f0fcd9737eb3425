#pragma once
// One create exchange: a forum name in, "CREATED" or "EXISTS" out.
//
// The name has no terminator: it ends when the client pauses or closes.

#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>

class ForumStore;
class QTcpSocket;

class CreateConnection : public QObject
{
    Q_OBJECT
public:
    CreateConnection(QTcpSocket *socket, ForumStore &store, const ServerConfig &config,
                     LogSink log);

private:
    void read();
    void decide(bool canReply);

    QTcpSocket *m_socket;
    ForumStore &m_store;
    LogSink m_log;
    QString m_peer; // kept: the address is gone once the socket has closed
    QByteArray m_gathered;
    QTimer m_pause;
    bool m_done = false;
};
