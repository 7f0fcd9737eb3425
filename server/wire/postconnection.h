#pragma once
// One post: forum "*" title "*" body, complete once the client has ended
// its sending, then handed to the post intake. The connection stays open
// until the intake decides: an orderly close once the post is on disk, a
// reset for one that will not be stored.

#include "server/base/logsink.h"

#include <QObject>

class PostIntake;
class StreamConnection;

// Lives on the main thread, a child of its connection.
class PostConnection : public QObject
{
    Q_OBJECT
public:
    PostConnection(StreamConnection *connection, PostIntake &intake, LogSink log);

    // Takes in at once whatever has already arrived, the client's end
    // included, so that a post that is complete is taken before a page is built.
    void settle();
    bool isBeingRead() const { return !m_done; }
    // The server stops: a post not yet acknowledged is reset, never closed in order.
    void abandon();

private:
    void read();
    void answer(bool acknowledged);
    void drop(const QString &reason, const char *refused); // refused: the metrics' reason

    StreamConnection *m_connection;
    PostIntake &m_intake;
    LogSink m_log;
    bool m_done = false; // whole, or dropped
    bool m_answered = false;
};
