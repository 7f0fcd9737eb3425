#pragma once
// One list exchange: "GETLIST" in, the forum names joined by "*" out.

#include "server/base/logsink.h"

#include <QObject>
#include <QTimer>

class ForumDirectory;
class StreamConnection;

// Lives on the main thread, a child of its connection.
class ListConnection : public QObject
{
    Q_OBJECT
public:
    // The names come from the directory in memory: a list is answered
    // whatever the database is doing.
    // waitMs: the whole request must have come by then.
    ListConnection(StreamConnection *connection, const ForumDirectory &directory, int waitMs,
                   LogSink log);

private:
    void read();
    void refuse(const QString &why); // counted, logged and reset
    void noteRefused(const QString &why); // counted and logged; the connection ends on its own

    StreamConnection *m_connection;
    const ForumDirectory &m_directory;
    LogSink m_log;
    QTimer m_deadline;
    bool m_done = false;
};
