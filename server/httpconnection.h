#pragma once
// One HTTP/1.x connection on the page port: requests read one after
// another, each answered in full; kept open between requests unless the
// client's version or its Connection header says otherwise.

#include "server/serverconfig.h"

#include <QObject>

class PageServer;
class StreamConnection;

class HttpConnection : public QObject
{
    Q_OBJECT
public:
    HttpConnection(StreamConnection *connection, PageServer &pages, const ServerConfig &config,
                   LogSink log);

private:
    void read();
    // Handles the request at the front of the input; false when it is not whole yet.
    bool handleOne();
    void answerAndClose(int status, const QString &why);

    StreamConnection *m_connection;
    PageServer &m_pages;
    LogSink m_log;
    int m_requestMs;
    qint64 m_bodyToSkip = 0; // of a request already answered
    bool m_closing = false;
};
