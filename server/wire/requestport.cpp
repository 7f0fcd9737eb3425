#include "server/wire/requestport.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/net/addresslimit.h"
#include "server/net/connectionlimit.h"
#include "server/net/streamconnection.h"
#include "server/wire/createconnection.h"
#include "server/wire/listconnection.h"
#include "server/wire/postconnection.h"
#include "server/wire/requestrules.h"

#include <algorithm>

namespace {
constexpr qsizetype listInputLimit = 1024;

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

RequestPort::RequestPort(Kind kind, Parts parts, Waits waits, ConnectionLimit &limit, LogSink log,
                         QObject *parent)
    : QObject(parent),
      m_kind(kind),
      m_parts(parts),
      m_waits(waits),
      m_log(std::move(log)),
      m_port(new ListeningPort(portName(kind), limit, this))
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    // A post is reset until it is on the disk (PostConnection).
    m_port->setResetOnClose(kind == Kind::Post);
    connect(m_port, &ListeningPort::accepted, this, &RequestPort::accepted);
}

bool RequestPort::listen(const QHostAddress &address, quint16 port)
{
    return m_port->listen(address, port);
}

void RequestPort::inherit(int fd)
{
    m_port->inherit(fd);
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
    case Kind::List:
        // Generous for "GETLIST" and its line end, so that the reply never
        // follows unread input (the close would reset it).
        connection->setInputLimit(listInputLimit);
        new ListConnection(connection, m_parts.directory, m_waits.listMs, m_log);
        break;
    case Kind::Create:
        connection->setInputLimit(requestrules::maxNameBytes + 1);
        new CreateConnection(connection, m_parts.store, m_parts.directory, m_parts.createLimit,
                             m_waits.createPauseMs, m_waits.createAnswerMs, m_log);
        break;
    case Kind::Post: {
        if (!m_parts.postLimit.take(connection->peerAddress())) {
            refuseLimitedPost(connection);
            break;
        }
        auto *post = new PostConnection(connection, m_parts.intake, m_log);
        m_posts.append(post);
        connect(post, &QObject::destroyed, this, [this, post] { m_posts.removeOne(post); });
        break;
    }
    }
}

void RequestPort::refuseLimitedPost(StreamConnection *connection)
{
    metrics::requestDone("post", "limited");
    metrics::limited("post");
    m_log(QStringLiteral("post limited %1: %2 posts per %3 s reached")
              .arg(connection->peer())
              .arg(m_parts.postLimit.limit())
              .arg(m_parts.postLimit.windowMs() / 1000.0));
    connection->reset();
}

void RequestPort::settlePosts()
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    const StreamConnection::HoldCloses closesAfterTheAnswer;
    // Connections still waiting in the system's queue are taken in too.
    m_port->acceptWaiting();
    // A copy: an exchange that ends leaves the list, though its connection
    // is deleted only on the loop's next turn.
    const QList<PostConnection *> open = m_posts;
    for (PostConnection *post : open)
        post->settle();
}

int RequestPort::postsBeingRead() const
{
    return int(std::count_if(m_posts.cbegin(), m_posts.cend(),
                             [](const PostConnection *post) { return post->isBeingRead(); }));
}

void RequestPort::abandonPosts()
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    const QList<PostConnection *> open = m_posts;
    for (PostConnection *post : open)
        post->abandon();
}
