#pragma once
// The listening ports and the connection limit they share.
//
// At the limit the ports stop accepting and the system's listen queue holds
// newcomers; nothing accepted is turned away. While someone waits, the
// oldest connection that has not finished its request (and has had a fair
// chance to) is cut off to make room.

#include "server/base/logsink.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class ListeningPort;
class QSocketNotifier;
class StreamConnection;

// Lives on the main thread.
class ConnectionLimit : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        int maxConnections = 512; // shared by the ports that use this limit
        // At the limit, an unfinished connection at least this old may be
        // cut off for a waiting one.
        int makeRoomAfterMs = 1000;
        // A request not complete this long after its connection was
        // accepted is cut off, however it trickles.
        int requestMs = 10000;
        // Connections from these addresses (a load balancer) begin with a
        // PROXY header naming the client, who then stands for the connection.
        QList<QHostAddress> trustedProxies;
    };

    ConnectionLimit(Settings settings, LogSink log, QObject *parent = nullptr);

    int openCount() const { return int(m_open.size()); }

    // Takes in whatever waits on every port, as far as the limit allows.
    void acceptWaiting();

private:
    friend class ListeningPort;
    void addPort(ListeningPort *port);
    void removePort(ListeningPort *port);
    bool hasRoom() const { return m_open.size() < m_settings.maxConnections; }
    StreamConnection *serve(ListeningPort *port, int descriptor, const QHostAddress &peer,
                            quint16 peerPort);
    void released(StreamConnection *connection);
    void setAccepting(bool accepting);
    void makeRoom();

    Settings m_settings;
    LogSink m_log;
    QList<ListeningPort *> m_ports;
    QList<StreamConnection *> m_open; // in the order they were accepted
    QTimer m_roomCheck;
    bool m_accepting = true;
};

// One listening socket whose connections count against the shared limit.
// Lives on the main thread.
class ListeningPort : public QObject
{
    Q_OBJECT
public:
    ListeningPort(const QString &name, ConnectionLimit &limit, QObject *parent = nullptr);
    ~ListeningPort() override;

    // Before listen(): every connection accepted here closes with a reset
    // until told otherwise (StreamConnection::setResetOnClose), even when the
    // process is killed before it could say so. Set once on the listening
    // socket, whence accepted sockets inherit it: no call per connection.
    void setResetOnClose(bool on) { m_resetOnClose = on; }
    bool listen(const QHostAddress &address, quint16 port);
    // A listening socket made by someone else (systemd's socket units), taken
    // instead of making one: listen() uses it, whatever address and port it
    // is given, and close() only stops accepting, so those in its queue wait
    // there for the next server while systemd holds the socket. Owned from here on.
    void inherit(int fd);
    // Stops listening: new connections are refused (or, on an inherited
    // socket, left in its queue), open ones go on.
    void close();
    bool isListening() const { return m_fd >= 0; }
    quint16 port() const { return m_port; } // kept after close()
    QString errorString() const { return m_error; }
    QString name() const { return m_name; }

    // The system's queue holds at most this many.
    static constexpr int backlog = 1024;
    // Accepts up to `most` of those waiting in the system's queue, as far
    // as the limit allows, unless paused. By default everyone who was
    // waiting already, and no more: senders that connect again at once
    // would otherwise keep the loop here.
    void acceptWaiting(int most = -1);
    bool hasWaiting() const;
    // A paused port accepts nobody: newcomers wait in the system's queue.
    void setPaused(bool paused);

signals:
    void accepted(StreamConnection *connection);

private:
    friend class ConnectionLimit;
    void setAccepting(bool accepting);
    int queued() const; // in the system's queue now
    // Hands the connection on once its PROXY header has come and named the client.
    void awaitProxyHeader(StreamConnection *connection);
    bool takeInherited();
    bool watch(); // accepts as connections come in; false if the socket refuses an option

    QString m_name;
    ConnectionLimit &m_limit;
    int m_fd = -1;
    int m_inherited = -1;
    quint16 m_port = 0;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    bool m_paused = false;
    bool m_resetOnClose = false;
};
