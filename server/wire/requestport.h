#pragma once
// A plain TCP request port: one request per connection, handled by a
// per-connection object that lives as a child of its connection.

#include "server/base/logsink.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

class AddressLimit;
class ConnectionLimit;
class ForumDirectory;
class ListeningPort;
class PostConnection;
class PostIntake;
class StoreThread;
class StreamConnection;

// Lives on the main thread.
class RequestPort : public QObject
{
    Q_OBJECT
public:
    enum class Kind { List, Create, Post };

    // The waits are fixed for clients; tests shorten them.
    struct Waits
    {
        int listMs = 5000;        // for the whole list request
        int createPauseMs = 100;  // a pause this long ends a create request
        int createAnswerMs = 3000; // a create the database has not decided by then: no reply
    };

    // What the port's exchanges need: the list port the directory, the
    // create port the store and its limit per address, the post port the
    // intake and its limit.
    struct Parts
    {
        const ForumDirectory &directory;
        StoreThread &store;
        PostIntake &intake;
        AddressLimit &createLimit;
        AddressLimit &postLimit;
    };

    RequestPort(Kind kind, Parts parts, Waits waits, ConnectionLimit &limit, LogSink log,
                QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    void inherit(int fd); // a socket systemd listens on (ListeningPort::inherit)
    quint16 port() const;
    QString errorString() const;
    void close(); // refuses new connections; open ones go on
    bool isListening() const;
    void setPaused(bool paused); // newcomers wait in the system's queue

    // Post port: takes in every post whose client has already finished sending.
    void settlePosts();
    // Post port: posts whose senders have not finished sending yet.
    int postsBeingRead() const;
    // Post port, as the server stops: every post not yet acknowledged is reset.
    void abandonPosts();

private:
    void accepted(StreamConnection *connection);
    // A post over its address's limit: reset before it is read.
    void refuseLimitedPost(StreamConnection *connection);

    Kind m_kind;
    Parts m_parts;
    Waits m_waits;
    LogSink m_log;
    ListeningPort *m_port;
    QList<PostConnection *> m_posts; // open post exchanges, in the order accepted
};
