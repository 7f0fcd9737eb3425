#include "server/wire/listconnection.h"

#include "server/store/forumdirectory.h"
#include "server/wire/requestrules.h"
#include "server/base/servermetrics.h"
#include "server/net/streamconnection.h"

ListConnection::ListConnection(StreamConnection *connection, const ForumDirectory &directory,
                               int waitMs, LogSink log)
    : QObject(connection), m_connection(connection), m_directory(directory), m_log(std::move(log))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this, wait = waitMs] {
        refuse(QStringLiteral("no request within %1 ms").arg(wait));
    });
    m_deadline.start(waitMs);
    connect(connection, &StreamConnection::readyRead, this, &ListConnection::read);
    connect(connection, &StreamConnection::cutOff, this, [this](const QString &why) {
        if (!m_done)
            noteRefused(why);
    });
    read();
}

void ListConnection::refuse(const QString &why)
{
    noteRefused(why);
    m_connection->abort();
}

void ListConnection::noteRefused(const QString &why)
{
    m_done = true;
    m_deadline.stop();
    metrics::requestDone("list", "refused");
    m_log(QStringLiteral("list refused %1: %2").arg(m_connection->peer(), why));
}

void ListConnection::read()
{
    if (m_done)
        return;
    switch (requestrules::classifyListRequest(m_connection->input())) {
    case requestrules::ListRequest::Incomplete:
        // A sender that ends its half early has nothing more to come.
        if (m_connection->inputEnded())
            refuse(QStringLiteral("request ended before it was complete"));
        return;
    case requestrules::ListRequest::Invalid:
        refuse(QStringLiteral("not a list request"));
        return;
    case requestrules::ListRequest::Complete: {
        m_done = true;
        m_deadline.stop();
        m_connection->input().clear();
        m_connection->setFinished(true);
        metrics::requestDone("list", "answered");
        m_log(QStringLiteral("list %1: %2 forum(s)")
                  .arg(m_connection->peer())
                  .arg(m_directory.size()));
        m_connection->write(m_directory.listReply());
        m_connection->closeWhenWritten();
        return;
    }
    }
}
