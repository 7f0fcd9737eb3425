#include "server/wire/postconnection.h"

#include "server/wire/postintake.h"
#include "server/wire/requestrules.h"
#include "server/base/servermetrics.h"
#include "server/net/streamconnection.h"

PostConnection::PostConnection(StreamConnection *connection, PostIntake &intake, LogSink log)
    : QObject(connection), m_connection(connection), m_intake(intake), m_log(std::move(log))
{
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
    });
    read();
}

void PostConnection::settle()
{
    if (!m_done)
        m_connection->readNow();
}

void PostConnection::read()
{
    if (m_done)
        return;
    QByteArray &gathered = m_connection->input();
    if (gathered.size() > requestrules::maxPostBytes) {
        drop(QStringLiteral("more than %1 bytes").arg(requestrules::maxPostBytes), "too_large");
        m_connection->abort();
        return;
    }
    if (!m_connection->inputEnded())
        return;
    m_done = true;
    m_connection->setFinished(true);
    metrics::requestDone("post", "taken");
    m_intake.take(m_connection->peer(), gathered);
    gathered.clear();
    m_connection->closeWhenWritten(); // nothing to write: closes now
}

void PostConnection::drop(const QString &reason, const char *refused)
{
    m_done = true;
    metrics::requestDone("post", "dropped");
    metrics::postRefused(refused);
    m_log(QStringLiteral("post dropped %1: %2").arg(m_connection->peer(), reason));
}
