#pragma once
// One list exchange: "GETLIST" in, the forum names joined by "*" out.

#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>

class ForumStore;
class QTcpSocket;

class ListConnection : public QObject
{
    Q_OBJECT
public:
    ListConnection(QTcpSocket *socket, ForumStore &store, const ServerConfig &config,
                   LogSink log);

private:
    void read();

    QTcpSocket *m_socket;
    ForumStore &m_store;
    LogSink m_log;
    QByteArray m_gathered;
    QTimer m_deadline;
    bool m_done = false;
};
