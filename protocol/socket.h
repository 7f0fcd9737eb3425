#pragma once
// An event-driven TCP client socket: one exchange per connection.
//
// close() drops the connection at once and reports nothing more. A peer that
// closes the connection is not an error: only peerClosed() reports it.
// Refused, unreachable, reset and timed-out connections are errors.
//
// Qt reports a reset by the peer as an orderly close. Where the platform can
// still tell the two apart (Linux: socket_linux.cpp) a reset is an error;
// elsewhere (socket_portable.cpp) Qt's own errors and states are all there is,
// and a reset ends the connection as the peer's close does.
//
// Qt has no half-close: endSending() is the platform's shutdown of the
// sending side, so that a peer that reads to the end sees where it is.

#include <QObject>
#include <QTcpSocket>

class Socket : public QObject
{
    Q_OBJECT
public:
    explicit Socket(QObject *parent = nullptr);
    ~Socket() override;

    // Whether this build tells a reset by the peer from the peer's close.
    static bool tellsResetFromClose();

    void connectToHost(const QString &host, quint16 port);
    // Sends text as UTF-8; sendCompleted() follows once all of it is written.
    void send(const QString &text);
    // Ends the sending side (a half-close) once everything sent so far is
    // written: the peer reads the end, and can still answer or close.
    void endSending();
    bool sendingEnded() const { return m_sendingEnded; }
    // Everything received and not read yet.
    QByteArray readAll();
    void close();
    QAbstractSocket::SocketState state() const { return m_socket.state(); }

Q_SIGNALS:
    void connected();
    void dataReceived(qint64 bytesTotal);
    void sendCompleted();
    void error(QAbstractSocket::SocketError code, const QString &description);
    void peerClosed();

private:
    void onBytesWritten(qint64 bytes);
    void onError(QAbstractSocket::SocketError code);
    void onEnded();
    void shutdownNow();

    // The platform's part: watching the connection for how it ends, and the
    // half-close Qt lacks.
    void watchConnection();
    bool connectionWasReset() const;
    void releaseWatch();
    void shutdownSending();

    QTcpSocket m_socket;
    qint64 m_unsent = 0;
    qint64 m_taken = 0; // bytes handed out by readAll()
    bool m_ended = false;
    bool m_endWanted = false; // endSending() waits for the unsent bytes
    bool m_sendingEnded = false;
    qintptr m_witness = -1; // the platform's handle on the connection, if it keeps one
};
