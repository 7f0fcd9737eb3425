#pragma once
// The HTTP port: the start page and one page per forum.

#include "server/serverconfig.h"

#include <QtHttpServer/QAbstractHttpServer>
#include <QtHttpServer/QHttpServerResponder>
#include <functional>
#include <memory>

class ForumStore;
class GuardedTcpServer;

class PageServer : public QAbstractHttpServer
{
    Q_OBJECT
public:
    PageServer(ForumStore &store, const ServerConfig &config, std::shared_ptr<int> openCount,
               LogSink log, QObject *parent = nullptr);

    bool listenOn(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    // Runs before each page is built (the post port settles its posts there).
    void setBeforeEachPage(std::function<void()> before) { m_beforeEachPage = std::move(before); }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;

    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Page
    {
        QHttpServerResponder::StatusCode status;
        QByteArray html;
    };
    Page pageFor(const QHttpServerRequest &request) const;
    void respond(const QHttpServerRequest &request, QTcpSocket *socket, const Page &page);

    ForumStore &m_store;
    LogSink m_log;
    std::function<void()> m_beforeEachPage;
    GuardedTcpServer *m_server;
};
