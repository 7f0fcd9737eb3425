#include "protocol/listexchange.h"

#include "protocol/listreply.h"

ListExchange::ListExchange(QObject *parent)
    : QObject(parent)
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(300);
    m_limit.setSingleShot(true);
    m_limit.setInterval(20000);
    connect(&m_socket, &Socket::connected, this, &ListExchange::onConnected);
    connect(&m_socket, &Socket::dataReceived, this, &ListExchange::onData);
    connect(&m_socket, &Socket::error, this, [this] { fail(ExchangeFailure::ConnectionError); });
    connect(&m_socket, &Socket::peerClosed, this, [this] {
        if (m_quiet.isActive())
            finish(); // the server has said all it will say
        else
            stop();
    });
    connect(&m_quiet, &QTimer::timeout, this, &ListExchange::finish);
    connect(&m_limit, &QTimer::timeout, this, [this] { fail(ExchangeFailure::TimedOut); });
}

void ListExchange::start(const QString &host, quint16 port)
{
    stop();
    m_limit.start();
    m_socket.connectToHost(host, port);
}

void ListExchange::abandon()
{
    stop();
}

void ListExchange::onConnected()
{
    m_reply.clear();
    m_socket.send(QStringLiteral("GETLIST"));
}

void ListExchange::onData()
{
    const QByteArray piece = m_socket.readAll();
    if (m_reply.size() + piece.size() > replyCapBytes) {
        fail(ExchangeFailure::Oversized);
        return;
    }
    m_reply += piece;
    m_quiet.start();
}

void ListExchange::finish()
{
    const QStringList names = directoryNames(QString::fromUtf8(m_reply));
    stop();
    Q_EMIT finished(names);
}

void ListExchange::fail(ExchangeFailure kind)
{
    stop();
    Q_EMIT failed(kind);
}

void ListExchange::stop()
{
    m_quiet.stop();
    m_limit.stop();
    m_reply.clear();
    m_socket.close();
}
