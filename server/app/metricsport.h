#pragma once
// The metrics port (--metrics ADDRESS:PORT): GET /metrics answers the
// server's metrics in the Prometheus text format. One request per
// connection, then the server closes; its few connections are counted apart
// from the forum ports', so a scrape never takes a client's place.

#include "server/base/logsink.h"
#include "server/net/connectionlimit.h"

#include <QHostAddress>

#include <QObject>

class StreamConnection;

// Lives on the main thread.
class MetricsPort : public QObject
{
    Q_OBJECT
public:
    // Its own limit, apart from the forum ports'.
    MetricsPort(ConnectionLimit::Settings limit, LogSink log, QObject *parent = nullptr);
    ~MetricsPort() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

private:
    void read(StreamConnection *connection);

    LogSink m_log;
    ConnectionLimit *m_limit;
    ListeningPort *m_port;
};
