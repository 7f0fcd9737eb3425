#include "server/postconnection.h"

#include "server/connectionguard.h"
#include "server/forumstore.h"
#include "server/requestport.h"
#include "server/requestrules.h"

#include <QTcpSocket>

#include <sys/socket.h>

PostConnection::PostConnection(QTcpSocket *socket, ForumStore &store, LogSink log)
    : QObject(socket), m_socket(socket), m_store(store), m_log(std::move(log)),
      m_peer(peerName(socket))
{
    socket->setReadBufferSize(requestrules::maxPostBytes + 1);
    connect(socket, &QTcpSocket::readyRead, this, &PostConnection::read);
    // Only the client's close completes a post: not our own aborts, nor a
    // reset, nor the server shutting down.
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (m_done)
            return;
        if (m_socket->error() != QAbstractSocket::RemoteHostClosedError) {
            drop(QStringLiteral("connection lost: %1").arg(m_socket->errorString()));
            return;
        }
        read();
        if (!m_done)
            save();
    });
    if (ConnectionGuard *guard = ConnectionGuard::of(socket)) {
        connect(guard, &ConnectionGuard::idleTimeout, this, [this] {
            if (!m_done)
                drop(QStringLiteral("no data for too long"));
        });
    }
    if (socket->bytesAvailable() > 0)
        read();
}

void PostConnection::settle()
{
    // Qt sees the client's close only on a read after the last data, so read
    // until nothing more is waiting. Peeking first leaves a connection with
    // nothing waiting untouched (a read with nothing there would mark it timed out).
    while (!m_done && m_socket->state() == QAbstractSocket::ConnectedState) {
        char byte;
        if (::recv(int(m_socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0)
            return; // nothing has arrived that Qt has not read
        if (!m_socket->waitForReadyRead(0))
            return;
    }
}

void PostConnection::read()
{
    if (m_done) {
        m_socket->readAll();
        return;
    }
    m_gathered += m_socket->readAll();
    if (m_gathered.size() > requestrules::maxPostBytes) {
        drop(QStringLiteral("more than %1 bytes").arg(requestrules::maxPostBytes));
        m_socket->abort();
    }
}

void PostConnection::drop(const QString &reason)
{
    m_done = true;
    m_log(QStringLiteral("post dropped %1: %2").arg(m_peer, reason));
}

void PostConnection::save()
{
    m_done = true;
    const auto fields = requestrules::splitPost(m_gathered);
    if (!fields) {
        drop(QStringLiteral("fewer than two \"*\" in %1 bytes").arg(m_gathered.size()));
        return;
    }
    const QString forum = QString::fromUtf8(fields->forum);
    const auto id = forum.toUtf8() == fields->forum ? m_store.forumId(forum) : std::nullopt;
    if (!id) {
        drop(QStringLiteral("unknown forum \"%1\"").arg(requestrules::printable(fields->forum)));
        return;
    }
    if (!m_store.addMessage(*id, fields->title, fields->body)) {
        drop(QStringLiteral("not stored: %1").arg(m_store.lastError()));
        return;
    }
    m_log(QStringLiteral("post %1 to \"%2\": stored, %3 bytes")
              .arg(m_peer, forum)
              .arg(m_gathered.size()));
}
