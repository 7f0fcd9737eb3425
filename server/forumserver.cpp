#include "server/forumserver.h"

#include "server/connectionlimit.h"
#include "server/pageserver.h"
#include "server/postpipeline.h"
#include "server/requestport.h"

#include <QDir>

ForumServer::ForumServer(const ServerConfig &config, QObject *parent)
    : QObject(parent), m_config(config)
{
}

// Ports go first (their connections refer to the rest), then the pipeline
// once it has stored what it holds, then the store.
ForumServer::~ForumServer()
{
    // Posts whose senders have already finished are taken in, not lost.
    if (m_post)
        m_post->settlePosts();
    m_pages.reset();
    m_post.reset();
    m_create.reset();
    m_list.reset();
    m_limit.reset();
    m_pipeline.reset();
}

bool ForumServer::start(QString *error)
{
    const DatabaseUrl database = m_config.database
        ? *m_config.database
        : DatabaseUrl::sqliteFile(QDir(m_config.dataDir).filePath(ForumStore::fileName()));
    if (!m_store.open(database, error))
        return false;
    // Not at once: the store is in the middle of some connection's request.
    m_store.setLostHandler([this](const QString &why) {
        QMetaObject::invokeMethod(this, [this, why] { databaseLost(why); }, Qt::QueuedConnection);
    });
    m_reconnect.setInterval(1000);
    connect(&m_reconnect, &QTimer::timeout, this, &ForumServer::tryReconnect);
    const LogSink log = [this](const QString &line) { emit logLine(line); };
    m_pipeline = std::make_unique<PostPipeline>(m_store, database, log);
    m_pipeline->start();
    m_limit = std::make_unique<ConnectionLimit>(m_config, log);
    using Kind = RequestPort::Kind;
    m_list = std::make_unique<RequestPort>(Kind::List, m_store, *m_pipeline, m_config, *m_limit,
                                           log);
    m_create = std::make_unique<RequestPort>(Kind::Create, m_store, *m_pipeline, m_config,
                                             *m_limit, log);
    m_post = std::make_unique<RequestPort>(Kind::Post, m_store, *m_pipeline, m_config, *m_limit,
                                           log);
    m_pages = std::make_unique<PageServer>(m_store, m_config, *m_limit, log);
    m_pages->setPosts([this] { m_post->settlePosts(); }, m_pipeline.get());
    if (!listenRequestPorts(error))
        return false;
    // Bound now: a port given as 0 is listened on again by its number.
    m_config.listPort = m_list->port();
    m_config.createPort = m_create->port();
    m_config.postPort = m_post->port();
    if (!m_pages->listenOn(m_config.address, m_config.httpPort)) {
        if (error)
            *error = QStringLiteral("cannot listen on the http port %1: %2")
                         .arg(m_config.httpPort)
                         .arg(m_pages->errorString());
        return false;
    }
    return true;
}

bool ForumServer::listenRequestPorts(QString *error)
{
    const struct
    {
        RequestPort *port;
        quint16 number;
        const char *name;
    } requestPorts[] = {{m_list.get(), m_config.listPort, "list"},
                        {m_create.get(), m_config.createPort, "create"},
                        {m_post.get(), m_config.postPort, "post"}};
    for (const auto &p : requestPorts) {
        if (!p.port->isListening() && !p.port->listen(m_config.address, p.number)) {
            if (error)
                *error = QStringLiteral("cannot listen on the %1 port %2: %3")
                             .arg(QLatin1StringView(p.name))
                             .arg(p.number)
                             .arg(p.port->errorString());
            return false;
        }
    }
    return true;
}

void ForumServer::databaseLost(const QString &why)
{
    if (m_reconnect.isActive() || m_store.isAvailable())
        return; // already known, or back again
    // A closed port makes a client's connection fail at once, so nobody
    // sends a post that could not be stored.
    m_list->close();
    m_create->close();
    m_post->close();
    emit logLine(QStringLiteral("database lost (%1); refusing requests until it answers again")
                     .arg(why.trimmed()));
    m_reconnectError.clear();
    m_reconnect.start();
}

void ForumServer::tryReconnect()
{
    QString why;
    if (!m_store.reconnect(&why)) {
        if (why != m_reconnectError)
            emit logLine(QStringLiteral("database still unavailable: %1").arg(why.trimmed()));
        m_reconnectError = why;
        return;
    }
    if (!listenRequestPorts(&why)) {
        emit logLine(QStringLiteral("database back, but %1").arg(why));
        return; // tried again on the next tick
    }
    m_reconnect.stop();
    emit logLine(QStringLiteral("database back; answering requests again"));
}

quint16 ForumServer::listPort() const
{
    return m_list ? m_list->port() : 0;
}

quint16 ForumServer::createPort() const
{
    return m_create ? m_create->port() : 0;
}

quint16 ForumServer::postPort() const
{
    return m_post ? m_post->port() : 0;
}

quint16 ForumServer::httpPort() const
{
    return m_pages ? m_pages->port() : 0;
}

int ForumServer::openConnections() const
{
    return m_limit ? m_limit->openCount() : 0;
}

QString ForumServer::listeningLine() const
{
    return QStringLiteral("listening list=%1 create=%2 post=%3 http=%4")
        .arg(listPort())
        .arg(createPort())
        .arg(postPort())
        .arg(httpPort());
}
