#pragma once
// A real forum server on free loopback ports with short waits and a
// throw-away data folder, plus the ways a test talks to it.
//
// With TAVERNLY_TEST_DATABASE set to a PostgreSQL address (scripts/pg-throwaway.sh
// run sets it), the server keeps its forums there instead, emptied for each
// fixture; set to "none", PostgreSQL is not installed and such a run skips
// (fails with TAVERNLY_REQUIRE_ALL=1).

#include "server/app/forumserver.h"
#include "server/posts/sanitizer.h"
#include "server/store/forumstore.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// A message stored straight into the database, published as the server would.
inline bool addMessage(ForumStore &store, qint64 forumId, const QByteArray &title,
                       const QByteArray &body)
{
    return store.addMessages(
        {{forumId, title, body, sanitizeHtml(title), sanitizeHtml(body), 0}});
}

class ServerFixture
{
public:
    // Free ports, quick waits; tests change what they need before start().
    static ServerConfig quickConfig();

    explicit ServerFixture(const ServerConfig &config = quickConfig());

    static bool databaseMissing();

    bool start();  // a new server on the same data folder
    void stop();   // as at shutdown: connections dropped, store closed

    ForumServer &server() { return *m_server; }
    const QString dataDir() const { return m_dir.path(); }
    const DatabaseUrl &database() const { return m_database; } // what the server uses
    const QStringList &log() const { return m_log; }
    int logLinesContaining(const QString &text) const;

    // GET or HEAD of a path on the page port; wait for isFinished().
    QNetworkReply *get(const QString &pathAndQuery);
    QNetworkReply *head(const QString &pathAndQuery);

private:
    QUrl pageUrl(const QString &pathAndQuery) const;

    QTemporaryDir m_dir;
    ServerConfig m_config;
    DatabaseUrl m_database;
    std::unique_ptr<ForumServer> m_server;
    QStringList m_log;
    QNetworkAccessManager m_network;
    std::vector<std::unique_ptr<QNetworkReply>> m_replies;
};
