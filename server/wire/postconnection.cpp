#include "server/wire/postconnection.h"

#include "server/wire/postintake.h"
#include "server/wire/requestrules.h"
#include "server/base/servermetrics.h"
#include "server/net/streamconnection.h"

#include <QPointer>

PostConnection::PostConnection(StreamConnection *connection, PostIntake &intake, LogSink log)
    : QObject(connection), m_connection(connection), m_intake(intake), m_log(std::move(log))
{
    // A post is never longer than this: reading stops one byte past it.
    connection->setInputLimit(requestrules::maxPostBytes + 1);
    // Until the post is on disk, no close is in order, not even the system's
    // when the process is killed.
    connection->setResetOnClose(true);
    connect(connection, &StreamConnection::readyRead, this, &PostConnection::read);
    // Only the client's end completes a post: not a reset, nor a deadline,
    // nor the server shutting down.
    connect(connection, &StreamConnection::lost, this, [this](const QString &why) {
        if (!m_done)
            drop(QStringLiteral("connection lost: %1").arg(why), "incomplete");
    });
    connect(connection, &StreamConnection::cutOff, this, [this](const QString &why) {
        if (!m_done)
            drop(why, "incomplete");
        // A deadline while the post waits for the disk: a close in order would
        // tell the sender it is kept.
        m_connection->reset();
    });
    read();
}

void PostConnection::settle()
{
    if (!m_done)
        m_connection->readNow();
}

void PostConnection::abandon()
{
    if (!m_answered)
        m_connection->reset();
}

void PostConnection::read()
{
    if (m_done)
        return;
    QByteArray &gathered = m_connection->input();
    if (gathered.size() > requestrules::maxPostBytes) {
        drop(QStringLiteral("more than %1 bytes").arg(requestrules::maxPostBytes), "too_large");
        m_connection->reset();
        return;
    }
    if (!m_connection->inputEnded())
        return;
    m_done = true;
    m_connection->setFinished(true);
    // The deadline ends at the last byte read: a post taken in is answered
    // once the spool has said whether it is on the disk, however long that takes.
    m_connection->stopDeadline();
    const QByteArray request = std::move(gathered);
    gathered.clear();
    m_intake.take(m_connection->peer(), request,
                  [self = QPointer<PostConnection>(this)](bool acknowledged) {
                      if (self)
                          self->answer(acknowledged);
                  });
}

void PostConnection::answer(bool acknowledged)
{
    if (m_answered)
        return;
    m_answered = true;
    metrics::requestDone("post", acknowledged ? "taken" : "refused");
    if (acknowledged) {
        m_connection->setResetOnClose(false);
        m_connection->closeWhenWritten(); // nothing to write: closes now
    }
    else
        m_connection->reset();
}

void PostConnection::drop(const QString &reason, const char *refused)
{
    m_done = true;
    m_answered = true;
    metrics::requestDone("post", "dropped");
    metrics::postRefused(refused);
    m_log(QStringLiteral("post dropped %1: %2").arg(m_connection->peer(), reason));
}
