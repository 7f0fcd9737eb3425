#pragma once
// The forums and their messages, in SQLite or PostgreSQL.
//
// Every change is its own transaction, committed before the call returns, so
// a killed server loses at most the request it was reading. Several servers
// may share one PostgreSQL database: what one stores, the others read at once.

#include "server/databaseurl.h"
#include "server/forumrecords.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <optional>

class ForumStore
{
public:
    enum class CreateResult { Created, Exists, Failed };

    ForumStore();
    ~ForumStore();
    ForumStore(const ForumStore &) = delete;
    ForumStore &operator=(const ForumStore &) = delete;

    // Opens the database, bringing its schema up to date. A new database
    // gets the "Welcome" forum with one message.
    bool open(const DatabaseUrl &url, QString *error);
    bool open(const QString &dir, QString *error); // the SQLite file in dir

    // False once the database has stopped answering: every call fails until
    // reconnect() succeeds. *why says what went wrong.
    bool isAvailable() const { return m_available; }
    bool reconnect(QString *why);
    // Called once each time the database is found gone.
    void setLostHandler(std::function<void(const QString &why)> handler);

    // Reads set *ok to false when the database fails, so that an empty
    // answer is never given for a failed one.
    QStringList forumNames(bool *ok = nullptr) const; // in creation order
    QList<ForumSummary> forumSummaries(bool *ok = nullptr) const;
    std::optional<qint64> forumId(const QString &name) const;
    qint64 messageCount(qint64 forumId) const;

    CreateResult createForum(const QString &name);
    // Keeps title and body as received, and their published HTML beside them,
    // so that showing a page never parses HTML again.
    bool addMessage(qint64 forumId, const QByteArray &title, const QByteArray &body);

    // Newest first, skipping the newest `skip`.
    QList<PublishedMessage> messages(qint64 forumId, int skip, int count,
                                     bool *ok = nullptr) const;

    QString lastError() const;

    static QString fileName(); // the database's file name inside its folder

private:
    QSqlDatabase database() const;
    bool unavailable() const; // true, with lastError() saying so, while the database is lost
    // Records a failed statement; a database that no longer answers at all is lost.
    void failed(const QSqlQuery &query) const;

    QString m_connection;
    DatabaseUrl m_url;
    mutable QString m_lastError;
    mutable bool m_available = false;
    std::function<void(const QString &why)> m_lostHandler;
};
