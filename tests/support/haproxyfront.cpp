#include "haproxyfront.h"

#include "httpanswer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>

#include <memory>

namespace {

QString portList(const ServicePorts &p)
{
    return QStringLiteral("%1,%2,%3,%4").arg(p.list).arg(p.create).arg(p.post).arg(p.http);
}

} // namespace

HaproxyFront::~HaproxyFront()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool HaproxyFront::installed()
{
    QProcess probe;
    probe.start(QStringLiteral("haproxy"), {QStringLiteral("-v")});
    return probe.waitForFinished(10000) && probe.exitCode() == 0;
}

bool HaproxyFront::start(const QString &sourceDir, const QList<ServicePorts> &servers,
                         Balance balance, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QString why;
    // A port found free may be taken before HAProxy binds it: then try others.
    for (int attempt = 0; attempt < 5; ++attempt) {
        quint16 free[4] = {};
        {
            std::unique_ptr<QTcpServer> probes[4];
            for (int i = 0; i < 4; ++i) {
                probes[i] = std::make_unique<QTcpServer>();
                if (!probes[i]->listen(QHostAddress::LocalHost, 0))
                    return fail(QStringLiteral("no free port"));
                free[i] = probes[i]->serverPort();
            }
        }
        m_ports = {free[0], free[1], free[2], free[3]};
        QStringList arguments;
        if (balance == Balance::Spread)
            arguments << QStringLiteral("--spread");
        arguments << QString::number(m_ports.list) << QString::number(m_ports.create)
                  << QString::number(m_ports.post) << QString::number(m_ports.http)
                  << QStringLiteral("--");
        for (const ServicePorts &server : servers)
            arguments << portList(server);
        QProcess generate;
        const QString config = m_dir.filePath(QStringLiteral("haproxy.cfg"));
        generate.setStandardOutputFile(config);
        generate.start(QDir(sourceDir).filePath(QStringLiteral("scripts/haproxy-config.sh")),
                       arguments);
        if (!generate.waitForFinished(10000) || generate.exitCode() != 0)
            return fail(QStringLiteral("haproxy-config.sh failed: %1")
                                   .arg(QString::fromUtf8(generate.readAllStandardError())));

        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("haproxy.log")));
        m_process.start(QStringLiteral("haproxy"), {QStringLiteral("-f"), config,
                                                    QStringLiteral("-db")});
        if (!m_process.waitForStarted(10000))
            return fail(QStringLiteral("haproxy did not start"));
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            int status = 0;
            kit::httpGet(m_ports.http, "/dn.htm", &status, 2000);
            if (status == 200)
                return true;
            m_process.waitForFinished(100); // a pause that ends early if HAProxy quits
        }
        why = QString::fromUtf8(log());
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    return fail(QStringLiteral("HAProxy did not answer: %1").arg(why));
}

QByteArray HaproxyFront::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("haproxy.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
