#pragma once
// One HTTP/1.x connection on the page port: requests read one after
// another, each answered in full; kept open between requests unless the
// client's version or its Connection header says otherwise. Input is read
// only while little of it waits unparsed, and a few requests are handled
// per wake-up, so a client that sends ahead and never reads costs little.

#include "server/base/logsink.h"
#include "server/http/entity.h"

#include <QByteArray>
#include <QObject>
#include <QBasicTimer>
#include <optional>

class PageSource;
class StreamConnection;

// Lives on the main thread, a child of its connection.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    // answerMs: an answer not ready this long after its request is a 503;
    // requestMs: the deadline of each request after the first.
    HttpConnection(StreamConnection *connection, PageSource &source, int answerMs, int requestMs,
                   LogSink log);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    using Request = http::Request;

    void read();
    // Handles the request at the front of the input; false when it is not
    // whole yet, or its answer waits, or the connection is closing.
    bool handleOne();
    // Answers the waiting request if its page is ready; false if not.
    bool tryAnswer();
    void pageBuilt(const http::Address &address, quint64 version, const http::Entity &page);
    void answerWaiting(const http::Entity &page);
    // Writes the answer; false when the connection closes after it.
    bool respond(const Request &request, const http::Entity &page);
    void answerAndClose(int status, const QString &why);

    StreamConnection *m_connection;
    PageSource &m_source;
    LogSink m_log;
    QString m_requester; // the peer's address without its port
    int m_requestMs;
    qint64 m_bodyToSkip = 0; // of a request already answered
    bool m_closing = false;
    // A page waits until the posts sent before it are stored and it is
    // built; other connections are served meanwhile.
    std::optional<Request> m_waiting;
    http::Address m_address; // what it addresses
    quint64 m_waitingFor = 0; // the last post it must show
    quint64 m_since = 0; // the version it must be built at, once the posts are stored
    int m_answerMs;
    QBasicTimer m_giveUp;
    bool m_watchingSource = false; // connected to the source's news while a request waits
};
