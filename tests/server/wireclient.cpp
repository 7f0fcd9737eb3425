#include "wireclient.h"

#include <QHostAddress>

WireClient::WireClient(quint16 port, QObject *parent) : QObject(parent), m_port(port)
{
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_connected = true;
        if (!m_request.isEmpty())
            m_socket.write(m_request);
        else
            m_sent = true;
    });
    connect(&m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket.bytesToWrite() > 0)
            return;
        m_sent = true;
        // The client closes at once after a post, without a graceful wait.
        if (m_after == After::CloseWhenSent)
            close();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_reply += m_socket.readAll(); });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_closing)
            m_closedByServer = true;
    });
}

void WireClient::send(const QByteArray &request, After after)
{
    m_request = request;
    m_after = after;
    m_socket.connectToHost(QHostAddress::LocalHost, m_port);
}

void WireClient::sendMore(const QByteArray &bytes)
{
    m_sent = false;
    m_socket.write(bytes);
}

void WireClient::close()
{
    m_closing = true;
    m_socket.abort();
}
