#include "protocol/postexchange.h"

PostExchange::PostExchange(QObject *parent)
    : QObject(parent)
{
    m_limit.setSingleShot(true);
    m_limit.setInterval(20000);
    connect(&m_socket, &Socket::connected, this, &PostExchange::connected);
    // Nothing is expected; what comes anyway is dropped, so a talkative server
    // cannot fill memory while the post waits for its close.
    connect(&m_socket, &Socket::dataReceived, this, [this] { m_socket.readAll(); });
    connect(&m_socket, &Socket::peerClosed, this, [this] {
        if (!m_socket.sendingEnded()) {
            fail(ExchangeFailure::ClosedEarly); // the server cannot have read it all
            return;
        }
        m_limit.stop();
        m_socket.close();
        Q_EMIT sent();
    });
    connect(&m_socket, &Socket::error, this, [this] { fail(ExchangeFailure::ConnectionError); });
    connect(&m_limit, &QTimer::timeout, this, [this] { fail(ExchangeFailure::TimedOut); });
}

void PostExchange::start(const QString &host, quint16 port)
{
    m_socket.close();
    // A post that neither completes nor fails still ends. Started before the
    // connect, so that an error reported at once finds it running and stops it.
    m_limit.start();
    m_socket.connectToHost(host, port);
}

void PostExchange::send(const QString &request)
{
    m_socket.send(request);
    // The end of the request is the end of what the client sends.
    m_socket.endSending();
}

void PostExchange::cancel()
{
    m_limit.stop();
    m_socket.close();
}

void PostExchange::fail(ExchangeFailure kind)
{
    m_limit.stop();
    m_socket.close();
    Q_EMIT failed(kind);
}
