#pragma once
// One HTTP/1.x connection on the page port: requests read one after
// another, each answered in full; kept open between requests unless the
// client's version or its Connection header says otherwise.

#include "server/serverconfig.h"

#include <QByteArray>
#include <QObject>
#include <optional>

class PageServer;
class StreamConnection;

class HttpConnection : public QObject
{
    Q_OBJECT
public:
    HttpConnection(StreamConnection *connection, PageServer &pages, const ServerConfig &config,
                   LogSink log);

private:
    struct Request
    {
        QByteArray method;
        QByteArray target;
        int minorVersion = 1;
        bool close = false;
    };

    void read();
    // Handles the request at the front of the input; false when it is not
    // whole yet, or its answer waits, or the connection is closing.
    bool handleOne();
    // Writes the answer; false when the connection closes after it.
    bool respond(const Request &request);
    void postsStored(quint64 upTo);
    void answerAndClose(int status, const QString &why);

    StreamConnection *m_connection;
    PageServer &m_pages;
    LogSink m_log;
    int m_requestMs;
    qint64 m_bodyToSkip = 0; // of a request already answered
    bool m_closing = false;
    // A page asked for right after a post waits until the post is stored;
    // other ports are served meanwhile.
    std::optional<Request> m_waiting;
    quint64 m_waitingFor = 0;
};
