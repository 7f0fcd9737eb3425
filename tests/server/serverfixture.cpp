#include "serverfixture.h"

#include <QNetworkRequest>

ServerConfig ServerFixture::quickConfig()
{
    ServerConfig config;
    config.listPort = config.createPort = config.postPort = config.httpPort = 0;
    config.listWaitMs = 3000;
    config.createPauseMs = 30;
    config.requestMs = 5000;
    return config;
}

ServerFixture::ServerFixture(const ServerConfig &config) : m_config(config)
{
    m_config.address = QHostAddress(QHostAddress::LocalHost);
    m_config.dataDir = m_dir.path();
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
