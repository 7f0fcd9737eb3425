#include "serverfixture.h"

#include <QDir>
#include <QNetworkRequest>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

QByteArray testDatabase()
{
    return qgetenv("TAVERNLY_TEST_DATABASE");
}

// Every fixture starts from an empty database, as with a new data folder.
void emptyDatabase(const DatabaseUrl &url)
{
    const QString name = QStringLiteral("fixture-emptying");
    QString error;
    if (!url.open(name, &error))
        qFatal("cannot open the test database: %s", qPrintable(error));
    {
        QSqlQuery query(QSqlDatabase::database(name, false));
        if (!query.exec(QStringLiteral("DROP SCHEMA public CASCADE")) ||
            !query.exec(QStringLiteral("CREATE SCHEMA public")))
            qFatal("cannot empty the test database: %s", qPrintable(query.lastError().text()));
    }
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

} // namespace

bool ServerFixture::databaseMissing()
{
    return testDatabase() == "none";
}

ServerConfig ServerFixture::quickConfig()
{
    ServerConfig config;
    config.listPort = config.createPort = config.postPort = config.httpPort = 0;
    config.listWaitMs = 3000;
    config.createPauseMs = 30;
    config.requestMs = 5000;
    config.pageWaitMs = 5000; // a loaded machine is not a slow database
    // Many tests post and create from one address; those that count limits set their own.
    config.createLimit = 0;
    config.postLimit = 0;
    config.searchLimit = 0;
    return config;
}

ServerFixture::ServerFixture(const ServerConfig &config) : m_config(config)
{
    m_config.address = QHostAddress(QHostAddress::LocalHost);
    m_config.dataDir = m_dir.path();
    const QByteArray address = testDatabase();
    if (address.isEmpty() || address == "none") {
        m_database = DatabaseUrl::sqliteFile(QDir(m_dir.path()).filePath(ForumStore::fileName()));
        return;
    }
    QString error;
    const std::optional<DatabaseUrl> url = DatabaseUrl::parse(QString::fromUtf8(address), &error);
    if (!url)
        qFatal("TAVERNLY_TEST_DATABASE: %s", qPrintable(error));
    m_database = *url;
    m_config.database = m_database;
    emptyDatabase(m_database);
}

bool ServerFixture::start()
{
    stop();
    m_server = std::make_unique<ForumServer>(m_config);
    QObject::connect(m_server.get(), &ForumServer::logLine,
                     [this](const QString &line) { m_log << line; });
    QString error;
    if (!m_server->start(&error)) {
        qWarning("server did not start: %s", qPrintable(error));
        return false;
    }
    return true;
}

void ServerFixture::stop()
{
    m_replies.clear();
    m_network.clearConnectionCache();
    m_server.reset();
}

int ServerFixture::logLinesContaining(const QString &text) const
{
    return int(m_log.filter(text).size());
}

QUrl ServerFixture::pageUrl(const QString &pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->httpPort()) + pathAndQuery);
}

QNetworkReply *ServerFixture::get(const QString &pathAndQuery)
{
    m_replies.emplace_back(m_network.get(QNetworkRequest(pageUrl(pathAndQuery))));
    return m_replies.back().get();
}

QNetworkReply *ServerFixture::head(const QString &pathAndQuery)
{
    m_replies.emplace_back(m_network.head(QNetworkRequest(pageUrl(pathAndQuery))));
    return m_replies.back().get();
}
