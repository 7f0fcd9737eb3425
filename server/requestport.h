#pragma once
// A plain TCP request port: one request per connection, handled by a
// per-connection object that lives as a child of its connection.

#include "server/connectionlimit.h"
#include "server/streamconnection.h"

#include <QObject>

class ForumDirectory;
class PostPipeline;
class StoreThread;

class RequestPort : public QObject
{
    Q_OBJECT
public:
    enum class Kind { List, Create, Post };

    RequestPort(Kind kind, const ForumDirectory &directory, StoreThread &store,
                PostPipeline &pipeline, const ServerConfig &config, ConnectionLimit &limit,
                LogSink log, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    void close(); // refuses new connections; open ones go on
    bool isListening() const;
    void setPaused(bool paused); // newcomers wait in the system's queue

    // Post port: takes in every post whose client has already finished sending.
    void settlePosts();

private:
    void accepted(StreamConnection *connection);

    Kind m_kind;
    const ForumDirectory &m_directory;
    StoreThread &m_store;
    PostPipeline &m_pipeline;
    ServerConfig m_config;
    LogSink m_log;
    ListeningPort *m_port;
};
