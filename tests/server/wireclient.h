#pragma once
// One request over a real socket, as the client makes it: connect, send in
// one write, then either wait for the server to close or close at once.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

class WireClient : public QObject
{
    Q_OBJECT
public:
    enum class After { WaitForReply, CloseWhenSent };

    explicit WireClient(quint16 port, QObject *parent = nullptr);

    // Connects from this loopback address (127.0.0.5 and 127.0.0.6 are two
    // senders to the server), before send().
    void bindTo(const QHostAddress &address) { m_socket.bind(address); }

    // Connects now; once connected, sends `request` (if not empty).
    void send(const QByteArray &request, After after = After::WaitForReply);
    void sendMore(const QByteArray &bytes); // a later piece of a slow request
    void close();

    bool hasConnected() const { return m_connected; }
    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool closedByServer() const { return m_closedByServer; }
    bool sent() const { return m_sent; } // every byte handed to the system
    QByteArray reply() const { return m_reply; }

private:
    QTcpSocket m_socket;
    quint16 m_port;
    QByteArray m_request;
    After m_after = After::WaitForReply;
    QByteArray m_reply;
    bool m_connected = false;
    bool m_closing = false;
    bool m_closedByServer = false;
    bool m_sent = false;
};
