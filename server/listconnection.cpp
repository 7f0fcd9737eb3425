#include "server/listconnection.h"

#include "server/forumstore.h"
#include "server/requestport.h"
#include "server/requestrules.h"

#include <QTcpSocket>

ListConnection::ListConnection(QTcpSocket *socket, ForumStore &store,
                               const ServerConfig &config, LogSink log)
    : QObject(socket), m_socket(socket), m_store(store), m_log(std::move(log))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this, wait = config.listWaitMs] {
        m_done = true;
        m_log(QStringLiteral("list refused %1: no request within %2 ms")
                  .arg(peerName(m_socket))
                  .arg(wait));
        m_socket->abort();
    });
    m_deadline.start(config.listWaitMs);
    connect(socket, &QTcpSocket::readyRead, this, &ListConnection::read);
    if (socket->bytesAvailable() > 0)
        read();
}

void ListConnection::read()
{
    if (m_done) {
        m_socket->readAll();
        return;
    }
    m_gathered += m_socket->readAll();
    switch (requestrules::classifyListRequest(m_gathered)) {
    case requestrules::ListRequest::Incomplete:
        return;
    case requestrules::ListRequest::Invalid:
        m_done = true;
        m_deadline.stop();
        m_log(QStringLiteral("list refused %1: not a list request").arg(peerName(m_socket)));
        m_socket->abort();
        return;
    case requestrules::ListRequest::Complete: {
        m_done = true;
        m_deadline.stop();
        bool ok = false;
        const QStringList names = m_store.forumNames(&ok);
        if (!ok) {
            m_log(QStringLiteral("list failed %1: %2").arg(peerName(m_socket), m_store.lastError()));
            m_socket->abort();
            return;
        }
        m_log(QStringLiteral("list %1: %2 forum(s)").arg(peerName(m_socket)).arg(names.size()));
        m_socket->write(names.join(u'*').toUtf8());
        m_socket->disconnectFromHost();
        return;
    }
    }
}
