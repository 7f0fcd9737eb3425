#pragma once
// One post: forum "*" title "*" body, stored once the client has closed.

#include "server/serverconfig.h"

#include <QObject>

class ForumStore;
class QTcpSocket;

class PostConnection : public QObject
{
    Q_OBJECT
public:
    PostConnection(QTcpSocket *socket, ForumStore &store, LogSink log);

    // Takes in at once whatever has already arrived, the client's close
    // included, so a post that is complete is stored before a page is built.
    void settle();

private:
    void read();
    void save();
    void drop(const QString &reason);

    QTcpSocket *m_socket;
    ForumStore &m_store;
    LogSink m_log;
    QString m_peer; // kept: the address is gone once the socket has closed
    QByteArray m_gathered;
    bool m_done = false;
};
