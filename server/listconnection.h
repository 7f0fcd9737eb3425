#pragma once
// One list exchange: "GETLIST" in, the forum names joined by "*" out.

#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>

class ForumStore;
class StreamConnection;

class ListConnection : public QObject
{
    Q_OBJECT
public:
    ListConnection(StreamConnection *connection, ForumStore &store, const ServerConfig &config,
                   LogSink log);

private:
    void read();
    void refuse(const QString &why);

    StreamConnection *m_connection;
    ForumStore &m_store;
    LogSink m_log;
    QTimer m_deadline;
    bool m_done = false;
};
