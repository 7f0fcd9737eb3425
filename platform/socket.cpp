#include "platform/socket.h"

Socket::Socket(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::connected, this, &Socket::connected);
    connect(&m_socket, &QTcpSocket::readyRead, this,
            [this] { Q_EMIT dataArrival(m_socket.bytesAvailable()); });
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &Socket::onBytesWritten);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Socket::onError);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        // Only a close the client did not ask for is reported.
        if (!m_peerClosed) {
            m_peerClosed = true;
            Q_EMIT peerClosed();
        }
    });
}

// A socket that goes away reports nothing more.
Socket::~Socket()
{
    m_socket.disconnect(this);
    m_socket.abort();
}

void Socket::Connect(const QString &host, quint16 port)
{
    m_unsent = 0;
    m_peerClosed = false;
    m_socket.connectToHost(host, port);
}

void Socket::SendData(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty()) {
        // Nothing to write: the send is complete as soon as control returns.
        QMetaObject::invokeMethod(this, [this] {
            if (m_unsent == 0 && m_socket.state() == QAbstractSocket::ConnectedState)
                Q_EMIT sendComplete();
        }, Qt::QueuedConnection);
        return;
    }
    m_unsent += bytes.size();
    m_socket.write(bytes);
}

QByteArray Socket::GetData()
{
    return m_socket.readAll();
}

void Socket::Close()
{
    m_unsent = 0;
    m_peerClosed = true; // our own close is no news to anybody
    m_socket.abort();
}

int Socket::State() const
{
    switch (m_socket.state()) {
    case QAbstractSocket::UnconnectedState: return Closed;
    case QAbstractSocket::HostLookupState: return ResolvingHost;
    case QAbstractSocket::ConnectingState: return Connecting;
    case QAbstractSocket::ConnectedState: return Connected;
    case QAbstractSocket::BoundState: return Open;
    case QAbstractSocket::ListeningState: return Listening;
    case QAbstractSocket::ClosingState: return Closing;
    }
    return Error;
}

void Socket::onBytesWritten(qint64 bytes)
{
    if (m_unsent <= 0)
        return;
    m_unsent -= bytes;
    if (m_unsent <= 0) {
        m_unsent = 0;
        Q_EMIT sendComplete();
    }
}

void Socket::onError(QAbstractSocket::SocketError code)
{
    if (code == QAbstractSocket::RemoteHostClosedError)
        return; // a peer closing is not an error; disconnected() reports it
    Q_EMIT error(int(code), m_socket.errorString());
}
