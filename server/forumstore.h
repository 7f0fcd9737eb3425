#pragma once
// The forums and their messages, in an SQLite database in WAL mode.
//
// Every change is its own transaction, committed before the call returns, so
// a killed server loses at most the request it was reading.

#include "server/forumrecords.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <optional>

class ForumStore
{
public:
    enum class CreateResult { Created, Exists, Failed };

    ForumStore();
    ~ForumStore();
    ForumStore(const ForumStore &) = delete;
    ForumStore &operator=(const ForumStore &) = delete;

    // Opens (creating if need be) the database in dir. A new database gets
    // the "Welcome" forum with one message.
    bool open(const QString &dir, QString *error);

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
    bool createSchema();
    bool exec(const QString &statement);

    QString m_connection;
    mutable QString m_lastError;
};
