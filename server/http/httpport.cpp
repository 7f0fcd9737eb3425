#include "server/http/httpport.h"

#include "server/base/mainthread.h"
#include "server/http/httpconnection.h"
#include "server/net/connectionlimit.h"
#include "server/net/streamconnection.h"

HttpPort::HttpPort(PageSource &source, ConnectionLimit &limit, Waits waits, LogSink log,
                   QObject *parent)
    : QObject(parent),
      m_source(source),
      m_waits(waits),
      m_log(std::move(log)),
      m_port(new ListeningPort(QStringLiteral("http"), limit, this))
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    connect(m_port, &ListeningPort::accepted, this, [this](StreamConnection *connection) {
        new HttpConnection(connection, m_source, m_waits.answerMs, m_waits.requestMs, m_log);
    });
}

bool HttpPort::listen(const QHostAddress &address, quint16 port)
{
    return m_port->listen(address, port);
}

void HttpPort::inherit(int fd)
{
    m_port->inherit(fd);
}

void HttpPort::close()
{
    m_port->close();
}

quint16 HttpPort::port() const
{
    return m_port->port();
}

QString HttpPort::errorString() const
{
    return m_port->errorString();
}
