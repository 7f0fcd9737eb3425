#pragma once
// The whole forum server: the store, the post pipeline, three request ports
// and the page port.

#include "server/store/forumdirectory.h"
#include "server/app/serverconfig.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSet>
#include <memory>

class AddressLimit;
class ConnectionLimit;
class HttpPort;
class MetricsPort;
class PageServer;
class PostPipeline;
class RequestPort;
class StoreThread;

// Lives on the main thread: it builds every part, wires them and decides
// the order in which they go.
class ForumServer : public QObject
{
    Q_OBJECT
public:
    explicit ForumServer(const ServerConfig &config, QObject *parent = nullptr);
    ~ForumServer() override; // stop(), however long it takes

    // Opens the store, stores what the spool holds and listens on the four
    // ports; false with *error if any fails.
    bool start(QString *error);
    // Ports close (sockets systemd passed stop being accepted from, so
    // newcomers wait in their queues for the next server); posts being read
    // are given until shortly before the deadline to arrive whole; posts
    // sent are flushed to the spool and acknowledged, every other one reset;
    // the writer stores what it can.
    // False if a thread is still in a statement (a frozen database) or in
    // the spool's last flush (a stalled disk) at the deadline: it is left
    // behind, and the process must end without destroying this server.
    bool stop(int deadlineMs);

    static QString spoolFolder(const QString &dataDir);

    quint16 listPort() const;
    quint16 createPort() const;
    quint16 postPort() const;
    quint16 httpPort() const;
    quint16 metricsPort() const; // 0 without one
    int openConnections() const;

    // While any of the server's connections to the database is lost, the
    // create and post ports refuse connections and pages answer 503, until
    // every one answers again; the list port answers from memory throughout.
    bool isDatabaseAvailable() const { return m_lostBy.isEmpty(); }

    // "listening list=P create=P post=P http=P", then " metrics=P" if asked for
    QString listeningLine() const;
    // What it is doing, in a few words (systemd's STATUS=).
    QString statusLine() const;

signals:
    // One line per request and per refusal.
    void logLine(const QString &line);

private:
    enum class Connection { Store, Writer };
    bool listenRequestPorts(QString *error);
    void finishPostsBeingRead(const QDeadlineTimer &until);
    void databaseLost(Connection connection, const QString &why);
    void databaseBack(Connection connection);
    void reopenRequestPorts();

    ServerConfig m_config;
    bool m_stopped = false;
    ForumDirectory m_directory;
    QSet<Connection> m_lostBy;
    bool m_failing = false; // the writer's database answers but does not store
    std::unique_ptr<StoreThread> m_store;
    std::unique_ptr<StoreThread> m_searchStore; // searches only: they never hold up m_store
    std::unique_ptr<PostPipeline> m_pipeline;
    std::unique_ptr<ConnectionLimit> m_limit;
    std::unique_ptr<AddressLimit> m_createLimit;
    std::unique_ptr<AddressLimit> m_postLimit;
    std::unique_ptr<RequestPort> m_list;
    std::unique_ptr<RequestPort> m_create;
    std::unique_ptr<RequestPort> m_post;
    std::unique_ptr<PageServer> m_pages;
    std::unique_ptr<HttpPort> m_http;
    std::unique_ptr<MetricsPort> m_metrics;
};
