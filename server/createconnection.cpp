#include "server/createconnection.h"

#include "server/connectionguard.h"
#include "server/forumstore.h"
#include "server/requestport.h"
#include "server/requestrules.h"

#include <QTcpSocket>

CreateConnection::CreateConnection(QTcpSocket *socket, ForumStore &store,
                                   const ServerConfig &config, LogSink log)
    : QObject(socket), m_socket(socket), m_store(store), m_log(std::move(log)),
      m_peer(peerName(socket))
{
    socket->setReadBufferSize(requestrules::maxNameBytes + 1);
    // The pause only counts once the name has begun: a client that is slow
    // to send its first byte is left to the idle limit.
    m_pause.setSingleShot(true);
    m_pause.setInterval(config.createPauseMs);
    connect(&m_pause, &QTimer::timeout, this, [this] { decide(true); });
    connect(socket, &QTcpSocket::readyRead, this, &CreateConnection::read);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        // A name ended by the client's close still counts; one cut off by a
        // reset or by the server shutting down does not.
        if (!m_done && !m_gathered.isEmpty()
            && m_socket->error() == QAbstractSocket::RemoteHostClosedError)
            decide(false);
    });
    if (ConnectionGuard *guard = ConnectionGuard::of(socket))
        connect(guard, &ConnectionGuard::idleTimeout, this, [this] { m_done = true; });
    if (socket->bytesAvailable() > 0)
        read();
}

void CreateConnection::read()
{
    if (m_done) {
        m_socket->readAll();
        return;
    }
    m_gathered += m_socket->readAll();
    if (m_gathered.size() > requestrules::maxNameBytes) {
        m_done = true;
        m_pause.stop();
        m_log(QStringLiteral("create refused %1: more than %2 bytes")
                  .arg(m_peer)
                  .arg(requestrules::maxNameBytes));
        m_socket->abort();
        return;
    }
    m_pause.start();
}

void CreateConnection::decide(bool canReply)
{
    m_done = true;
    m_pause.stop();
    const QString &peer = m_peer;
    QString name;
    const requestrules::NameCheck check = requestrules::checkNewForumName(m_gathered, &name);
    if (check != requestrules::NameCheck::Ok) {
        m_log(QStringLiteral("create refused %1: %2").arg(peer, requestrules::describe(check)));
        m_socket->abort();
        return;
    }
    QByteArray reply;
    switch (m_store.createForum(name)) {
    case ForumStore::CreateResult::Created: reply = QByteArrayLiteral("CREATED"); break;
    case ForumStore::CreateResult::Exists: reply = QByteArrayLiteral("EXISTS"); break;
    case ForumStore::CreateResult::Failed:
        m_log(QStringLiteral("create failed %1 \"%2\": %3").arg(peer, name, m_store.lastError()));
        m_socket->abort();
        return;
    }
    m_log(QStringLiteral("create %1 \"%2\": %3%4")
              .arg(peer, name, QString::fromLatin1(reply),
                   canReply ? QString() : QStringLiteral(" (client gone before the reply)")));
    if (canReply) {
        m_socket->write(reply);
        m_socket->disconnectFromHost();
    }
}
