#pragma once
// A plain TCP request port: one request per connection, handled by a
// per-connection object that lives as a child of its connection.

#include "server/connectionlimit.h"
#include "server/streamconnection.h"

#include <QObject>

class ForumStore;
class PostPipeline;

class RequestPort : public QObject
{
    Q_OBJECT
public:
    enum class Kind { List, Create, Post };

    RequestPort(Kind kind, ForumStore &store, PostPipeline &pipeline, const ServerConfig &config,
                ConnectionLimit &limit, LogSink log, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    void close(); // refuses new connections; open ones go on
    bool isListening() const;

    // Post port: takes in every post whose client has already finished sending.
    void settlePosts();

private:
    void accepted(StreamConnection *connection);

    Kind m_kind;
    ForumStore &m_store;
    PostPipeline &m_pipeline;
    ServerConfig m_config;
    LogSink m_log;
    ListeningPort *m_port;
};
