#pragma once
// One create exchange: a forum name in, "CREATED" or "EXISTS" out, or
// "LIMITED" when its address has created its share of forums for now.
//
// The name has no terminator: it ends when the client pauses or ends its
// sending (the reply still goes to a client that only half-closed).

#include "server/base/logsink.h"

#include <QObject>
#include <QTimer>

class AddressLimit;
class ForumDirectory;
class StoreThread;
class StreamConnection;

// Lives on the main thread, a child of its connection.
class CreateConnection : public QObject
{
    Q_OBJECT
public:
    // A pause of pauseMs ends the name. A database that has not answered
    // within waitMs gets the client no reply: it has not been told CREATED.
    // limit counts the forums each address creates. A name alike one the
    // directory lists (by case or end spaces) exists already.
    CreateConnection(StreamConnection *connection, StoreThread &store,
                     const ForumDirectory &directory, AddressLimit &limit, int pauseMs, int waitMs,
                     LogSink log);

private:
    void read();
    void decide();
    void refuse(const QString &why); // counted, logged and reset
    void noteRefused(const QString &why); // counted and logged; the connection ends on its own
    void answer(const QByteArray &reply, const QString &peer, const QString &name);

    StreamConnection *m_connection;
    StoreThread &m_store;
    const ForumDirectory &m_directory;
    AddressLimit &m_limit;
    LogSink m_log;
    QTimer m_pause;
    QTimer m_answerWait;
    bool m_done = false;
};
