#include "protocol/listexchange.h"

#include "protocol/listreply.h"

ListExchange::ListExchange(QObject *parent)
    : QObject(parent)
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(300);
    connect(&m_socket, &Socket::connected, this, &ListExchange::onConnected);
    connect(&m_socket, &Socket::dataReceived, this, &ListExchange::onData);
    connect(&m_socket, &Socket::error, this, &ListExchange::fail);
    connect(&m_socket, &Socket::peerClosed, this, [this] {
        if (m_quiet.isActive())
            finish(); // the server has said all it will say
    });
    connect(&m_quiet, &QTimer::timeout, this, &ListExchange::finish);
}

void ListExchange::start(const QString &host, quint16 port)
{
    m_quiet.stop();
    closeSocket(m_socket);
    m_socket.connectToHost(host, port);
}

void ListExchange::abandon()
{
    m_quiet.stop();
    m_socket.close();
}

void ListExchange::onConnected()
{
    m_reply.clear();
    m_socket.send(QStringLiteral("GETLIST"));
}

void ListExchange::onData()
{
    m_reply += m_socket.readAll();
    m_quiet.start();
}

void ListExchange::finish()
{
    m_quiet.stop();
    const QStringList names = directoryNames(QString::fromUtf8(m_reply));
    m_reply.clear();
    closeSocket(m_socket);
    Q_EMIT finished(names);
}

void ListExchange::fail()
{
    m_quiet.stop();
    m_reply.clear();
    closeSocket(m_socket);
    Q_EMIT failed(ExchangeFailure::ConnectionError);
}
