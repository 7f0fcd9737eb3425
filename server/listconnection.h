#pragma once
// One list exchange: "GETLIST" in, the forum names joined by "*" out.

#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>

class ForumDirectory;
class StreamConnection;

class ListConnection : public QObject
{
    Q_OBJECT
public:
    // The names come from the directory in memory: a list is answered
    // whatever the database is doing.
    ListConnection(StreamConnection *connection, const ForumDirectory &directory,
                   const ServerConfig &config, LogSink log);

private:
    void read();
    void refuse(const QString &why);

    StreamConnection *m_connection;
    const ForumDirectory &m_directory;
    LogSink m_log;
    QTimer m_deadline;
    bool m_done = false;
};
