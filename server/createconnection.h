#pragma once
// One create exchange: a forum name in, "CREATED" or "EXISTS" out.
//
// The name has no terminator: it ends when the client pauses or ends its
// sending (the reply still goes to a client that only half-closed).

#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>

class ForumStore;
class StreamConnection;

class CreateConnection : public QObject
{
    Q_OBJECT
public:
    CreateConnection(StreamConnection *connection, ForumStore &store, const ServerConfig &config,
                     LogSink log);

private:
    void read();
    void decide();
    void refuse(const QString &why);

    StreamConnection *m_connection;
    ForumStore &m_store;
    LogSink m_log;
    QTimer m_pause;
    bool m_done = false;
};
