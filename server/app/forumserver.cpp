#include "server/app/forumserver.h"

#include "server/app/metricsport.h"
#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/http/httpport.h"
#include "server/net/addresslimit.h"
#include "server/net/connectionlimit.h"
#include "server/pages/pageserver.h"
#include "server/posts/postpipeline.h"
#include "server/posts/quarantine.h"
#include "server/posts/spool.h"
#include "server/posts/spoolreplay.h"
#include "server/store/forumstore.h"
#include "server/store/storethread.h"
#include "server/wire/requestport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTimer>
#include <climits>
#include <utility>

namespace {
// Of the stop's deadline, what posts still arriving leave to the spool.
constexpr int finishReadingMarginMs = 1500;
} // namespace

ForumServer::ForumServer(const ServerConfig &config, QObject *parent)
    : QObject(parent), m_config(config)
{
}

ForumServer::~ForumServer()
{
    stop(-1);
    m_metrics.reset();
    m_http.reset();
    m_pages.reset();
    m_post.reset();
    m_create.reset();
    m_list.reset();
    m_postLimit.reset();
    m_createLimit.reset();
    m_limit.reset();
    m_pipeline.reset();
    m_searchStore.reset();
    m_store.reset();
}

QString ForumServer::spoolFolder(const QString &dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("spool"));
}

bool ForumServer::stop(int deadlineMs)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_stopped || !m_pipeline)
        return true;
    m_stopped = true;
    const QDeadlineTimer deadline = deadlineMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                   : QDeadlineTimer(deadlineMs);
    const auto left = [&deadline] {
        return deadline.isForever() ? -1 : int(std::max<qint64>(deadline.remainingTime(), 0));
    };
    if (m_post) {
        m_list->close();
        m_create->close();
        m_http->close();
        m_post->close();
        // Posts under way are finished, not reset; a moment is left for the spool.
        if (deadlineMs > 0)
            finishPostsBeingRead(QDeadlineTimer(std::max(left() - finishReadingMarginMs, 0)));
        // Posts whose senders have already finished are taken in, not lost.
        m_post->settlePosts();
    }
    const bool writerEnded = m_pipeline->stop(left());
    // Whatever was not acknowledged by now (still arriving, or waiting for a
    // forum's lookup) is reset: an orderly close would say it is kept.
    if (m_post)
        m_post->abandonPosts();
    // A moment at least for an idle store thread to end.
    const auto stopStore = [&](StoreThread &store) {
        return store.stop(deadline.isForever() ? -1 : std::max(left(), 200));
    };
    const bool searchEnded = stopStore(*m_searchStore);
    const bool storeEnded = stopStore(*m_store);
    if (!writerEnded || !storeEnded || !searchEnded) {
        emit logLine(QStringLiteral("stopping without waiting for the database or the disk: a "
                                    "statement or a flush is still under way"));
        (void)m_pipeline.release(); // left behind with its threads
        (void)m_searchStore.release();
        (void)m_store.release();
        return false;
    }
    return true;
}

void ForumServer::finishPostsBeingRead(const QDeadlineTimer &until)
{
    if (m_post->postsBeingRead() == 0)
        return;
    QTimer wake; // the loop waits for events: one comes at the deadline
    wake.start(int(std::min<qint64>(until.remainingTime(), INT_MAX)));
    while (m_post->postsBeingRead() > 0 && !until.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (const int left = m_post->postsBeingRead())
        emit logLine(QStringLiteral("stopping: %1 posts still arriving are reset").arg(left));
}

bool ForumServer::start(QString *error)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    DatabaseUrl database = m_config.database
        ? *m_config.database
        : DatabaseUrl::sqliteFile(QDir(m_config.dataDir).filePath(ForumStore::fileName()));
    database.waitMs = m_config.statementWaitMs;
    const LogSink log = [this](const QString &line) { emit logLine(line); };
    Spool spool;
    quint64 lastSequence = 0;
    if (!spool.open(spoolFolder(m_config.dataDir), error))
        return false;
    {
        // Brought up to date and read once here, the spool stored before any
        // port listens; from now on the database is used only on threads of its own.
        ForumStore store;
        bool read = false;
        if (!store.open(database, error)
            || !spoolreplay::replay(store, spool, Quarantine(m_config.dataDir), log,
                                    &lastSequence, error))
            return false;
        m_directory.add(store.forums(&read));
        if (!read) {
            if (error)
                *error = store.lastError();
            return false;
        }
    }
    m_store = std::make_unique<StoreThread>(database, m_config.changePollMs);
    m_store->setOrigin(spool.id()); // what its writer announces, its pages know at the commit
    m_searchStore = std::make_unique<StoreThread>(database, 0); // changes are m_store's to learn
    PostPipeline::Settings settings;
    settings.database = database;
    // On SQLite the server is the only writer: its directory is complete.
    settings.directoryIsWhole = database.engine == DatabaseUrl::Engine::SQLite;
    settings.spoolBudget = m_config.spoolBudget;
    settings.lastSequence = lastSequence;
    settings.spoolFlushDelayMs = m_config.spoolFlushDelayMs;
    m_pipeline = std::make_unique<PostPipeline>(m_directory, *m_store, std::move(spool),
                                                settings, log);
    m_limit = std::make_unique<ConnectionLimit>(
        ConnectionLimit::Settings{m_config.maxConnections, m_config.makeRoomAfterMs,
                                  m_config.requestMs, m_config.trustedProxies},
        log);
    m_createLimit = std::make_unique<AddressLimit>(m_config.createLimit, m_config.createWindowMs);
    m_postLimit = std::make_unique<AddressLimit>(m_config.postLimit, m_config.postWindowMs);
    using Kind = RequestPort::Kind;
    const RequestPort::Waits waits{m_config.listWaitMs, m_config.createPauseMs,
                                   m_config.createWaitMs};
    const auto port = [&](Kind kind) {
        return std::make_unique<RequestPort>(
            kind,
            RequestPort::Parts{m_directory, *m_store, *m_pipeline, *m_createLimit, *m_postLimit},
            waits, *m_limit, log);
    };
    m_list = port(Kind::List);
    m_create = port(Kind::Create);
    m_post = port(Kind::Post);
    m_pages = std::make_unique<PageServer>(*m_store, *m_searchStore, m_directory,
                                           settings.directoryIsWhole, *m_post, *m_pipeline,
                                           m_config.searchLimit);
    m_http = std::make_unique<HttpPort>(*m_pages, *m_limit,
                                        HttpPort::Waits{m_config.pageWaitMs, m_config.requestMs},
                                        log);

    connect(m_store.get(), &StoreThread::forumsAdded, this, [this](const QList<ForumEntry> &f) {
        if (!m_directory.add(f))
            return;
        QList<qint64> ids;
        for (const ForumEntry &forum : f)
            ids.append(forum.id);
        m_pages->forumsCreated(ids);
    });
    connect(m_store.get(), &StoreThread::postsAdded, m_pages.get(), &PageServer::postsStored);
    connect(m_pipeline.get(), &PostPipeline::committed, m_pages.get(), &PageServer::postsStored);
    connect(m_pipeline.get(), &PostPipeline::fullChanged, m_post.get(), &RequestPort::setPaused);
    connect(m_store.get(), &StoreThread::lost, this,
            [this](const QString &why) { databaseLost(Connection::Store, why); });
    connect(m_store.get(), &StoreThread::back, this, [this] { databaseBack(Connection::Store); });
    connect(m_pipeline.get(), &PostPipeline::lost, this, [this](const QString &why) {
        databaseLost(Connection::Writer, why);
        m_store->check(); // most likely gone for every connection
    });
    connect(m_pipeline.get(), &PostPipeline::back, this,
            [this] { databaseBack(Connection::Writer); });
    // Failing to store is not lost: the ports stay open and posts are spooled.
    connect(m_pipeline.get(), &PostPipeline::failing, this, [this] {
        m_failing = true;
        m_pages->setStoreFailing(true);
        metrics::databaseUp(false);
    });
    connect(m_pipeline.get(), &PostPipeline::storing, this, [this] {
        m_failing = false;
        m_pages->setStoreFailing(false);
        metrics::databaseUp(m_lostBy.isEmpty());
    });
    metrics::databaseUp(true);
    m_store->start();
    m_searchStore->start(StoreThread::Role::Searches);
    m_pages->indexOlderMessages();
    m_pipeline->start();

    const auto inherited = [this](const char *name) {
        return m_config.inheritedSockets.value(QLatin1StringView(name), -1);
    };
    for (const auto &[port, name] : {std::pair{m_list.get(), "list"},
                                     std::pair{m_create.get(), "create"},
                                     std::pair{m_post.get(), "post"}}) {
        if (inherited(name) >= 0)
            port->inherit(inherited(name));
    }
    if (inherited("pages") >= 0)
        m_http->inherit(inherited("pages"));
    if (!listenRequestPorts(error))
        return false;
    // Bound now: a port given as 0 is listened on again by its number.
    m_config.listPort = m_list->port();
    m_config.createPort = m_create->port();
    m_config.postPort = m_post->port();
    if (!m_http->listen(m_config.address, m_config.httpPort)) {
        if (error)
            *error = QStringLiteral("cannot listen on the http port %1: %2")
                         .arg(m_config.httpPort)
                         .arg(m_http->errorString());
        return false;
    }
    if (!m_config.metricsAddress.isNull()) {
        m_metrics = std::make_unique<MetricsPort>(
            ConnectionLimit::Settings{8, m_config.makeRoomAfterMs, m_config.requestMs, {}}, log);
        if (!m_metrics->listen(m_config.metricsAddress, m_config.metricsPort)) {
            if (error)
                *error = QStringLiteral("cannot listen on the metrics port %1: %2")
                             .arg(m_config.metricsPort)
                             .arg(m_metrics->errorString());
            return false;
        }
    }
    return true;
}

bool ForumServer::listenRequestPorts(QString *error)
{
    const struct
    {
        RequestPort *port;
        quint16 number;
        const char *name;
    } requestPorts[] = {{m_list.get(), m_config.listPort, "list"},
                        {m_create.get(), m_config.createPort, "create"},
                        {m_post.get(), m_config.postPort, "post"}};
    for (const auto &p : requestPorts) {
        if (!p.port->isListening() && !p.port->listen(m_config.address, p.number)) {
            if (error)
                *error = QStringLiteral("cannot listen on the %1 port %2: %3")
                             .arg(QLatin1StringView(p.name))
                             .arg(p.number)
                             .arg(p.port->errorString());
            return false;
        }
    }
    return true;
}

void ForumServer::databaseLost(Connection connection, const QString &why)
{
    const bool first = m_lostBy.isEmpty();
    m_lostBy.insert(connection);
    if (!first)
        return;
    // A closed port makes a client's connection fail at once, so nobody
    // sends a post or a name that could not be stored.
    m_create->close();
    m_post->close();
    m_pages->setStoreAvailable(false);
    metrics::databaseUp(false);
    emit logLine(QStringLiteral("database lost (%1); refusing requests until it answers again")
                     .arg(why.trimmed()));
}

void ForumServer::databaseBack(Connection connection)
{
    if (!m_lostBy.remove(connection))
        return;
    metrics::databaseReconnected();
    if (!m_lostBy.isEmpty())
        return;
    metrics::databaseUp(!m_failing);
    // Whatever other servers did meanwhile is not known here.
    m_pages->storeChanged();
    m_pages->setStoreAvailable(true);
    reopenRequestPorts();
}

void ForumServer::reopenRequestPorts()
{
    if (!m_lostBy.isEmpty() || m_stopped)
        return;
    QString why;
    if (!listenRequestPorts(&why)) {
        emit logLine(QStringLiteral("database back, but %1").arg(why));
        QTimer::singleShot(1000, this, &ForumServer::reopenRequestPorts);
        return;
    }
    emit logLine(QStringLiteral("database back; answering requests again"));
}

quint16 ForumServer::listPort() const
{
    return m_list ? m_list->port() : 0;
}

quint16 ForumServer::createPort() const
{
    return m_create ? m_create->port() : 0;
}

quint16 ForumServer::postPort() const
{
    return m_post ? m_post->port() : 0;
}

quint16 ForumServer::httpPort() const
{
    return m_http ? m_http->port() : 0;
}

quint16 ForumServer::metricsPort() const
{
    return m_metrics ? m_metrics->port() : 0;
}

int ForumServer::openConnections() const
{
    return m_limit ? m_limit->openCount() : 0;
}

QString ForumServer::listeningLine() const
{
    QString line = QStringLiteral("listening list=%1 create=%2 post=%3 http=%4")
                       .arg(listPort())
                       .arg(createPort())
                       .arg(postPort())
                       .arg(httpPort());
    if (m_metrics)
        line += QStringLiteral(" metrics=%1").arg(metricsPort());
    return line;
}

QString ForumServer::statusLine() const
{
    const quint64 spooled = m_pipeline ? m_pipeline->waitingInSpool() : 0;
    if (!isDatabaseAvailable())
        return QStringLiteral("database lost: taking no posts or new forums; "
                              "%1 posts wait in the spool").arg(spooled);
    return QStringLiteral("serving %1 connections; %2 posts wait in the spool")
        .arg(openConnections())
        .arg(spooled);
}
