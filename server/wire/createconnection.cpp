#include "server/wire/createconnection.h"

#include "server/store/forumdirectory.h"
#include "server/store/storethread.h"
#include "server/wire/requestrules.h"
#include "server/base/servermetrics.h"
#include "server/net/addresslimit.h"
#include "server/net/streamconnection.h"

CreateConnection::CreateConnection(StreamConnection *connection, StoreThread &store,
                                   const ForumDirectory &directory, AddressLimit &limit,
                                   int pauseMs, int waitMs, LogSink log)
    : QObject(connection),
      m_connection(connection),
      m_store(store),
      m_directory(directory),
      m_limit(limit),
      m_log(std::move(log))
{
    m_answerWait.setSingleShot(true);
    m_answerWait.setInterval(waitMs);
    // The pause only counts once the name has begun: a client that is slow
    // to send its first byte is left to the request deadline.
    m_pause.setSingleShot(true);
    m_pause.setInterval(pauseMs);
    connect(&m_pause, &QTimer::timeout, this, &CreateConnection::decide);
    connect(connection, &StreamConnection::readyRead, this, &CreateConnection::read);
    connect(connection, &StreamConnection::cutOff, this, [this](const QString &why) {
        if (!m_done)
            noteRefused(why);
    });
    // A name cut off by a reset does not count.
    connect(connection, &StreamConnection::lost, this, [this] { m_done = true; });
    read();
}

void CreateConnection::refuse(const QString &why)
{
    noteRefused(why);
    m_connection->abort();
}

void CreateConnection::noteRefused(const QString &why)
{
    m_done = true;
    m_pause.stop();
    metrics::requestDone("create", "refused");
    m_log(QStringLiteral("create refused %1: %2").arg(m_connection->peer(), why));
}

void CreateConnection::read()
{
    if (m_done)
        return;
    const QByteArray &gathered = m_connection->input();
    if (gathered.size() > requestrules::maxNameBytes) {
        refuse(QStringLiteral("more than %1 bytes").arg(requestrules::maxNameBytes));
        return;
    }
    if (m_connection->inputEnded()) {
        if (gathered.isEmpty())
            refuse(QStringLiteral("no name before the end of the request"));
        else
            decide();
        return;
    }
    if (!gathered.isEmpty())
        m_pause.start();
}

void CreateConnection::decide()
{
    if (m_done)
        return;
    // What arrived with the pause, the sender's end included, belongs to the name.
    m_connection->readNow();
    if (m_done)
        return;
    m_done = true;
    m_pause.stop();
    m_connection->setFinished(true);
    const QString peer = m_connection->peer();
    QString name;
    const requestrules::NameCheck check =
        requestrules::checkNewForumName(m_connection->input(), &name);
    m_connection->input().clear();
    if (check != requestrules::NameCheck::Ok) {
        refuse(requestrules::describe(check));
        return;
    }
    // Decided from memory, and costs the address nothing, as a name taken does.
    if (m_directory.hasAlike(name)) {
        answer(QByteArrayLiteral("EXISTS"), peer, name);
        return;
    }
    // Taken now, so that creates at once from one address cannot pass the
    // limit together; given back if no forum comes of it.
    const QHostAddress address = m_connection->peerAddress();
    if (!m_limit.take(address)) {
        metrics::requestDone("create", "limited");
        metrics::limited("create");
        m_log(QStringLiteral("create limited %1 \"%2\": %3 new forums per %4 s reached")
                  .arg(peer, name)
                  .arg(m_limit.limit())
                  .arg(m_limit.windowMs() / 1000.0));
        m_connection->write(QByteArrayLiteral("LIMITED"));
        m_connection->closeWhenWritten();
        return;
    }
    connect(&m_answerWait, &QTimer::timeout, this, [this, peer, name] {
        metrics::requestDone("create", "failed");
        m_log(QStringLiteral("create failed %1 \"%2\": the database did not answer within %3 ms")
                  .arg(peer, name)
                  .arg(m_answerWait.interval()));
        m_connection->abort();
    });
    m_answerWait.start();
    m_store.create(name, this, [this, peer, name, address](ForumStore::CreateResult result,
                                                           const QString &why) {
        if (!m_answerWait.isActive())
            return; // given up on: the client was told nothing
        m_answerWait.stop();
        if (result != ForumStore::CreateResult::Created)
            m_limit.giveBack(address);
        QByteArray reply;
        switch (result) {
        case ForumStore::CreateResult::Created: reply = QByteArrayLiteral("CREATED"); break;
        case ForumStore::CreateResult::Exists: reply = QByteArrayLiteral("EXISTS"); break;
        case ForumStore::CreateResult::Failed:
            metrics::requestDone("create", "failed");
            m_log(QStringLiteral("create failed %1 \"%2\": %3").arg(peer, name, why));
            m_connection->abort();
            return;
        }
        answer(reply, peer, name);
    });
}

void CreateConnection::answer(const QByteArray &reply, const QString &peer, const QString &name)
{
    metrics::requestDone("create", reply.toLower().toStdString());
    m_log(QStringLiteral("create %1 \"%2\": %3").arg(peer, name, QString::fromLatin1(reply)));
    m_connection->write(reply);
    m_connection->closeWhenWritten();
}
