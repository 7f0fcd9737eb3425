#pragma once
// The HTTP port: the start page and one page per forum.

#include "server/connectionlimit.h"
#include "server/streamconnection.h"

#include <QByteArray>
#include <QHash>
#include <functional>

class ForumStore;
class PostPipeline;

class PageServer : public QObject
{
    Q_OBJECT
public:
    PageServer(ForumStore &store, const ServerConfig &config, ConnectionLimit &limit, LogSink log,
               QObject *parent = nullptr);

    bool listenOn(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    // A page shows every post sent before it was asked for: `settle` takes
    // in the posts whose senders have finished, and the page waits until
    // the pipeline has stored them.
    void setPosts(std::function<void()> settle, PostPipeline *pipeline);
    // The number of the last post the next page must show.
    quint64 settlePosts();
    PostPipeline *pipeline() const { return m_pipeline; }
    // False while the database is lost: pages answer 503 at once.
    bool isStoreAvailable() const;

    struct Page
    {
        int status;
        QByteArray html;
    };
    // The answer to one request; for HEAD the same as for GET (without its body).
    Page answer(const QByteArray &method, const QByteArray &target) const;

    // The status line and headers of an answer, closing the connection or not.
    static QByteArray headers(const Page &page, int minorVersion, bool close);

private:
    Page pageFor(const QByteArray &target) const;

    // Pages as built, for as long as the store has not changed since.
    struct Cache
    {
        quint64 version = 0;
        QHash<QByteArray, Page> pages;
        qsizetype bytes = 0;
    };

    ForumStore &m_store;
    ServerConfig m_config;
    LogSink m_log;
    std::function<void()> m_settlePosts;
    PostPipeline *m_pipeline = nullptr;
    ListeningPort *m_port;
    mutable Cache m_cache;
};
