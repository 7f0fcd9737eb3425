#pragma once
// The whole forum server: the store, the post pipeline, three request ports
// and the page port.

#include "server/forumstore.h"
#include "server/serverconfig.h"

#include <QObject>
#include <QTimer>
#include <memory>

class ConnectionLimit;
class PageServer;
class PostPipeline;
class RequestPort;

class ForumServer : public QObject
{
    Q_OBJECT
public:
    explicit ForumServer(const ServerConfig &config, QObject *parent = nullptr);
    ~ForumServer() override; // posts already taken in are stored first

    // Opens the store and listens on the four ports; false with *error if any fails.
    bool start(QString *error);

    quint16 listPort() const;
    quint16 createPort() const;
    quint16 postPort() const;
    quint16 httpPort() const;
    int openConnections() const;

    // While the database is lost the three request ports refuse connections
    // and pages answer 503, until it answers again.
    bool isDatabaseAvailable() const { return m_store.isAvailable(); }

    // "listening list=P create=P post=P http=P"
    QString listeningLine() const;

signals:
    // One line per request and per refusal.
    void logLine(const QString &line);

private:
    bool listenRequestPorts(QString *error);
    void databaseLost(const QString &why);
    void tryReconnect();

    ServerConfig m_config;
    QTimer m_reconnect;
    QString m_reconnectError;
    ForumStore m_store;
    std::unique_ptr<PostPipeline> m_pipeline;
    std::unique_ptr<ConnectionLimit> m_limit;
    std::unique_ptr<RequestPort> m_list;
    std::unique_ptr<RequestPort> m_create;
    std::unique_ptr<RequestPort> m_post;
    std::unique_ptr<PageServer> m_pages;
};
