#pragma once
// The forums and their messages, in SQLite or PostgreSQL.
//
// Every change is committed before the call returns, so a killed server
// loses nothing a call has reported done. Each thread that uses the
// database opens a store of its own. Several servers may share one
// PostgreSQL database: what one stores, the others read at once.

#include "server/store/databaseurl.h"
#include "server/store/forumrecords.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QSqlQuery;

// A post ready to store: as received, and published (its HTML made safe by
// the post pipeline's sanitizer).
struct NewMessage
{
    qint64 forumId = 0;
    QByteArray title;
    QByteArray body;
    QString titleHtml;
    QString bodyHtml;
    qint64 arrived = 0; // ms since the epoch
};

class ForumStore
{
public:
    enum class CreateResult { Created, Exists, Failed };

    ForumStore();
    ~ForumStore();
    ForumStore(const ForumStore &) = delete;
    ForumStore &operator=(const ForumStore &) = delete;

    // Opens the database and brings an older one to the current layout. A
    // new database gets the "Welcome" forum with one message.
    bool open(const DatabaseUrl &url, QString *error);
    bool open(const QString &dir, QString *error); // the SQLite file in dir
    // Opens a database that open() has already brought up to date.
    bool connect(const DatabaseUrl &url, QString *error);

    // False once the database has stopped answering: every call fails, with
    // lastError() saying so, until reconnect() succeeds.
    bool isAvailable() const { return m_available; }
    bool reconnect(QString *why);
    // Asks the simplest question; a database that does not answer is lost.
    void check();
    // Called each time the database is found gone.
    void setLostHandler(std::function<void(const QString &why)> handler);

    // Reads set *ok to false when the database fails, so that an empty
    // answer is never given for a failed one.
    QList<ForumEntry> forums(bool *ok = nullptr) const; // in creation order
    QList<ForumSummary> forumSummaries(bool *ok = nullptr) const;
    std::optional<qint64> forumId(const QString &name, bool *ok = nullptr) const;
    qint64 messageCount(qint64 forumId) const;

    // *id: the new forum's, when created.
    CreateResult createForum(const QString &name, qint64 *id = nullptr);
    // All in one transaction, the forums' message counts with them; on
    // PostgreSQL every server listening hears which forums changed. With a
    // spool id, the same transaction records that the spool's records up to
    // `spoolMark` are stored (messages may then be empty).
    bool addMessages(const QList<NewMessage> &messages, const QString &spoolId = {},
                     quint64 spoolMark = 0);
    // The last record of this spool the database holds (0: none); *ok false
    // when it cannot be read.
    quint64 spoolMark(const QString &spoolId, bool *ok) const;
    // Whether the database answered the last failure with a refusal of the
    // rows themselves (a constraint, a value it will not take); any other
    // failure is the database's (full, read-only, lost...) and may pass.
    bool lastErrorConcernsRows() const;
    // SQLite: false once the file opened is no longer at its path (removed or
    // replaced); the database then counts as lost.
    bool fileIntact() const;

    // Newest first, skipping the newest `skip`.
    QList<PublishedMessage> messages(qint64 forumId, int skip, int count,
                                     bool *ok = nullptr) const;

    QString lastError() const;

    // A number that changes with the commits this server does not hear of
    // (PostgreSQL: any server's; SQLite: a moderator's); -1 when it cannot
    // be read.
    qint64 changeCount() const;
    QSqlDatabase database() const;
    DatabaseUrl::Engine engine() const { return m_url.engine; }

    static QString fileName(); // the database's file name inside its folder
    // The message a new database starts with, its HTML as the sanitizer
    // writes it (a test holds the two together).
    static NewMessage welcomeMessage(qint64 forumId);

private:
    // The writer's statements, kept for the connection: freed only with it
    // (PostgreSQL refuses to free them inside a failed transaction).
    struct Statements;
    Statements &statements(); // made for the connection on first use
    // origin: the announcement's (a spool's id), so that its server knows its own.
    bool insert(const QList<NewMessage> &messages, const QString &origin);
    QSqlQuery *insertStatement(int rows); // null when it cannot be prepared
    bool prepared(QSqlQuery &statement, bool *ready, const QString &sql);
    void recordError(const QSqlError &error);
    bool unavailable() const; // true, with lastError() saying so, while the database is lost
    // Records a failed statement; a database that no longer answers at all is lost.
    void failed(const QSqlError &error) const;

    void rememberFile(); // SQLite: the opened file's device and inode
    bool checkFile(); // false, and lost, when the file is gone

    QString m_connection;
    mutable QSqlError m_lastSqlError;
    quint64 m_fileDevice = 0;
    quint64 m_fileInode = 0;
    DatabaseUrl m_url;
    mutable QString m_lastError;
    mutable bool m_available = false;
    std::function<void(const QString &why)> m_lostHandler;
    std::unique_ptr<Statements> m_statements;
};
