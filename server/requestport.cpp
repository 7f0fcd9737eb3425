#include "server/requestport.h"

#include "server/createconnection.h"
#include "server/listconnection.h"
#include "server/postconnection.h"
#include "server/streamconnection.h"

namespace {
QString portName(RequestPort::Kind kind)
{
    switch (kind) {
    case RequestPort::Kind::List: return QStringLiteral("list");
    case RequestPort::Kind::Create: return QStringLiteral("create");
    case RequestPort::Kind::Post: return QStringLiteral("post");
    }
    return {};
}
} // namespace

RequestPort::RequestPort(Kind kind, const ForumDirectory &directory, StoreThread &store,
                         PostPipeline &pipeline, const ServerConfig &config,
                         ConnectionLimit &limit, LogSink log, QObject *parent)
    : QObject(parent),
      m_kind(kind),
      m_directory(directory),
      m_store(store),
      m_pipeline(pipeline),
      m_config(config),
      m_log(std::move(log)),
      m_port(new ListeningPort(portName(kind), limit, this))
{
    connect(m_port, &ListeningPort::accepted, this, &RequestPort::accepted);
}

bool RequestPort::listen(const QHostAddress &address, quint16 port)
{
    return m_port->listen(address, port);
}

quint16 RequestPort::port() const
{
    return m_port->port();
}

QString RequestPort::errorString() const
{
    return m_port->errorString();
}

bool RequestPort::isListening() const
{
    return m_port->isListening();
}

void RequestPort::close()
{
    m_port->close();
}

void RequestPort::setPaused(bool paused)
{
    m_port->setPaused(paused);
}

void RequestPort::accepted(StreamConnection *connection)
{
    switch (m_kind) {
    case Kind::List: new ListConnection(connection, m_directory, m_config, m_log); break;
    case Kind::Create: new CreateConnection(connection, m_store, m_config, m_log); break;
    case Kind::Post: new PostConnection(connection, m_pipeline, m_log); break;
    }
}

void RequestPort::settlePosts()
{
    const StreamConnection::HoldCloses closesAfterTheAnswer;
    // Connections still waiting in the system's queue are taken in too.
    m_port->acceptWaiting();
    for (PostConnection *post : m_port->findChildren<PostConnection *>())
        post->settle();
}
