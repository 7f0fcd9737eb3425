#pragma once
// The HTTP port: accepts connections and serves each from one page source.

#include "server/base/logsink.h"

#include <QHostAddress>
#include <QObject>

class ConnectionLimit;
class ListeningPort;
class PageSource;

// Lives on the main thread.
class HttpPort : public QObject
{
    Q_OBJECT
public:
    struct Waits
    {
        int answerMs = 250;    // an answer not ready this long after its request: 503
        int requestMs = 10000; // a request not complete this long after the previous answer: cut
    };

    HttpPort(PageSource &source, ConnectionLimit &limit, Waits waits, LogSink log,
             QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    void inherit(int fd); // a socket systemd listens on (ListeningPort::inherit)
    void close();         // refuses new connections; open ones go on
    quint16 port() const;
    QString errorString() const;

private:
    PageSource &m_source;
    Waits m_waits;
    LogSink m_log;
    ListeningPort *m_port;
};
