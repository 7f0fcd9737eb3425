#pragma once
// The HTTP port: the start page and one page per forum.
//
// Pages are answered from those the server has built, for as long as
// nothing they show has changed; a page that is missing is built on the
// store thread while its request waits (at most config.pageWaitMs, then 503).
// Changes are learned without asking the database: the server's own commits
// directly, other servers' through the store thread. A post makes stale only
// its forum's pages and the start page.
//
// A page is built once with its validator (ETag) and a gzipped copy; a
// request whose If-None-Match holds the tag gets 304 without a body, one
// that accepts gzip gets the gzipped copy.

#include "server/connectionlimit.h"
#include "server/pages.h"
#include "server/streamconnection.h"

#include <QByteArray>
#include <QHash>
#include <functional>
#include <optional>

class PostPipeline;
class StoreThread;

class PageServer : public QObject
{
    Q_OBJECT
public:
    using Page = pages::Page;

    // What a request asks of a page beyond its target.
    struct Request
    {
        QByteArray method;
        QByteArray target;
        int minorVersion = 1;
        bool close = false;
        bool gzip = false; // its Accept-Encoding allows gzip
        QByteArray ifNoneMatch; // its If-None-Match headers, joined by ','
    };

    PageServer(StoreThread &store, const ServerConfig &config, ConnectionLimit &limit,
               LogSink log, QObject *parent = nullptr);

    bool listenOn(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    // A page shows every post sent before it was asked for: `settle` takes
    // in the posts whose senders have finished, and the page waits until
    // the pipeline has stored them.
    void setPosts(std::function<void()> settle, PostPipeline *pipeline);
    // The number of the last post the page at `target` must show: for a
    // forum's page the last one to that forum, for others the last of all.
    quint64 settlePosts(const QByteArray &target);
    PostPipeline *pipeline() const { return m_pipeline; }
    // False while the database is lost: pages answer 503 at once.
    bool isStoreAvailable() const { return m_available; }
    void setStoreAvailable(bool available) { m_available = available; }

    // Grows with every change to what pages show.
    quint64 version() const { return m_version; }
    // Posts were committed to these forums; none listed: to any forum.
    void postsStored(const QList<qint64> &forumIds);
    void forumsCreated(const QList<qint64> &forumIds);
    void storeChanged(); // anything may have changed

    // The answer to one request, from a page built at version `since` or
    // later; none yet when it is being built (built() follows). For HEAD the
    // same as for GET (without its body).
    std::optional<Page> answer(const QByteArray &method, const QByteArray &target, quint64 since);
    static Page busyPage(); // 503: try again in a moment
    // The answer to HAProxy's check at /health, built from memory and at
    // once, never waiting for posts: 200, or 503 while the database is lost.
    static constexpr const char *healthPath = "/health";
    Page health() const;

    // The status line and headers of the answer to `request`; *body: what
    // follows them (shared with the page, not copied).
    static QByteArray headers(const Page &page, const Request &request, QByteArray *body);

signals:
    // A page came back from the store thread, built at `version`.
    void built(const QByteArray &target, quint64 version, const pages::Page &page);

private:
    void keep(const QByteArray &target, quint64 version, const Page &page);
    // The version since which what a page of this forum shows (0: the forums) is unchanged.
    quint64 changedAt(qint64 forumId) const;
    static qsizetype bytesOf(const Page &page) { return page.html.size() + page.gzipped.size(); }

    struct Cached
    {
        quint64 version = 0;
        Page page;
    };

    StoreThread &m_store;
    ServerConfig m_config;
    LogSink m_log;
    std::function<void()> m_settlePosts;
    PostPipeline *m_pipeline = nullptr;
    ListeningPort *m_port;
    bool m_available = true;
    quint64 m_version = 1;
    quint64 m_allChangedAt = 1; // every page
    quint64 m_forumsChangedAt = 1; // the start page and pages of forums not found
    QHash<qint64, quint64> m_forumChangedAt; // one forum's pages
    QHash<QByteArray, Cached> m_cache;
    qsizetype m_cacheBytes = 0;
    QHash<QByteArray, quint64> m_building; // target: the version asked for
};
