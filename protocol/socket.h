#pragma once
// An event-driven TCP client socket: one exchange per connection.
//
// State 0 means closed. close() drops the connection at once, so the client's
// close-then-read-State loop ends after one turn. A peer that closes the
// connection is not an error: only peerClosed() reports it. Refused,
// unreachable, reset and timed-out connections are errors.

#include <QObject>
#include <QTcpSocket>

class Socket : public QObject
{
    Q_OBJECT
public:
    enum StateValue {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    explicit Socket(QObject *parent = nullptr);
    ~Socket() override;

    void connectToHost(const QString &host, quint16 port);
    // Sends text as UTF-8; sendCompleted() follows once all of it is written.
    void send(const QString &text);
    // Everything received and not read yet.
    QByteArray readAll();
    void close();
    int state() const;

Q_SIGNALS:
    void connected();
    void dataReceived(qint64 bytesTotal);
    void sendCompleted();
    void error(int number, const QString &description);
    void peerClosed();

private:
    void onBytesWritten(qint64 bytes);
    void onError(QAbstractSocket::SocketError code);
    void onEnded();
    bool endedByReset();
    void releaseWitness();

    QTcpSocket m_socket;
    qint64 m_unsent = 0;
    bool m_ended = false;
    // Qt reports a reset by the peer as an orderly close. A second descriptor
    // of the connection outlives Qt's, so the connection's final TCP state
    // can still be read: closed means reset, close-wait means the peer's close.
    int m_witness = -1;
};

// Closes socket and reads its state until it says closed (one turn, as Close() is immediate).
inline void closeSocket(Socket &socket)
{
    do
        socket.close();
    while (socket.state() != Socket::Closed);
}
