#include "protocol/createexchange.h"

#include "protocol/replies.h"

CreateExchange::CreateExchange(QObject *parent)
    : QObject(parent)
{
    m_limit.setSingleShot(true);
    m_limit.setInterval(20000);
    connect(&m_socket, &Socket::connected, this, [this] { m_socket.send(m_name); });
    connect(&m_socket, &Socket::dataReceived, this, &CreateExchange::onData);
    connect(&m_socket, &Socket::error, this, [this] { fail(ExchangeFailure::ConnectionError); });
    connect(&m_socket, &Socket::peerClosed, this, [this] {
        if (m_limit.isActive())
            fail(ExchangeFailure::ClosedEarly);
    });
    connect(&m_limit, &QTimer::timeout, this, [this] { fail(ExchangeFailure::TimedOut); });
}

void CreateExchange::start(const QString &host, quint16 port, const QString &name)
{
    m_socket.close();
    m_name = name;
    m_reply.clear();
    m_limit.start(); // the window is never left locked; before connecting, which may fail at once
    m_socket.connectToHost(host, port);
}

void CreateExchange::abandon()
{
    m_limit.stop();
    m_socket.close();
}

void CreateExchange::onData()
{
    m_reply += m_socket.readAll();
    switch (classifyCreateReply(m_reply)) {
    case CreateReply::Incomplete:
        return;
    case CreateReply::Unrecognised:
        fail(ExchangeFailure::Unrecognised);
        return;
    case CreateReply::Exists:
        m_limit.stop();
        m_socket.close();
        Q_EMIT exists();
        return;
    case CreateReply::Created:
        m_limit.stop();
        m_socket.close();
        Q_EMIT created();
        return;
    case CreateReply::Limited:
        m_limit.stop();
        m_socket.close();
        Q_EMIT limited();
        return;
    }
}

void CreateExchange::fail(ExchangeFailure kind)
{
    m_limit.stop();
    m_reply.clear();
    m_socket.close();
    Q_EMIT failed(kind);
}
