#include "protocol/socket.h"

Socket::Socket(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        watchConnection();
        Q_EMIT connected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this,
            [this] { Q_EMIT dataReceived(m_socket.bytesAvailable()); });
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &Socket::onBytesWritten);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Socket::onError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &Socket::onEnded);
}

// A socket that goes away reports nothing more.
Socket::~Socket()
{
    m_socket.disconnect(this);
    releaseWatch();
    m_socket.abort();
}

void Socket::connectToHost(const QString &host, quint16 port)
{
    releaseWatch();
    m_unsent = 0;
    m_taken = 0;
    m_ended = false;
    m_endWanted = false;
    m_sendingEnded = false;
    m_socket.connectToHost(host, port);
}

void Socket::send(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty()) {
        // Nothing to write: the send is complete as soon as control returns.
        QMetaObject::invokeMethod(this, [this] {
            if (m_unsent == 0 && m_socket.state() == QAbstractSocket::ConnectedState)
                Q_EMIT sendCompleted();
        }, Qt::QueuedConnection);
        return;
    }
    m_unsent += bytes.size();
    m_socket.write(bytes);
}

void Socket::endSending()
{
    if (m_sendingEnded || m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    if (m_unsent > 0)
        m_endWanted = true; // an end before the last bytes would cut them off
    else
        shutdownNow();
}

void Socket::shutdownNow()
{
    m_endWanted = false;
    m_sendingEnded = true;
    shutdownSending();
}

QByteArray Socket::readAll()
{
    const QByteArray bytes = m_socket.readAll();
    m_taken += bytes.size();
    return bytes;
}

void Socket::close()
{
    m_unsent = 0;
    m_endWanted = false;
    m_ended = true; // our own close is no news to anybody
    releaseWatch();
    m_socket.abort();
}

void Socket::onBytesWritten(qint64 bytes)
{
    if (m_unsent <= 0)
        return;
    m_unsent -= bytes;
    if (m_unsent <= 0) {
        m_unsent = 0;
        if (m_endWanted)
            shutdownNow();
        Q_EMIT sendCompleted();
    }
}

void Socket::onError(QAbstractSocket::SocketError code)
{
    if (code == QAbstractSocket::RemoteHostClosedError) {
        onEnded(); // a close or a reset: which one is decided there
        return;
    }
    if (m_ended)
        return;
    m_ended = true;
    releaseWatch();
    Q_EMIT error(code, m_socket.errorString());
}

void Socket::onEnded()
{
    if (m_ended)
        return;
    m_ended = true;
    const bool reset = connectionWasReset();
    releaseWatch();
    if (reset)
        Q_EMIT error(QAbstractSocket::NetworkError, tr("The connection was reset by the server."));
    else
        Q_EMIT peerClosed();
}
