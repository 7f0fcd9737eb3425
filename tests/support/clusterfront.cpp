#include "clusterfront.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>

#include <memory>

namespace {

// Runs the script to its end; its standard output, its standard error in *err.
bool run(const QString &script, const QStringList &arguments, QByteArray *out, QByteArray *err)
{
    QProcess process;
    process.start(script, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (out)
        *out = process.readAllStandardOutput();
    if (err)
        *err = process.readAllStandardError();
    return ok;
}

} // namespace

ClusterFront::~ClusterFront()
{
    if (m_up)
        run(script(), {QStringLiteral("down")}, nullptr, nullptr);
}

QString ClusterFront::missing()
{
    if (qEnvironmentVariable("TAVERNLY_ISOLATED") != QLatin1StringView("1"))
        return QStringLiteral("no network namespace of its own (run through scripts/front.sh isolated)");
    const QStringList system{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")};
    for (const char *tool : {"nft", "haproxy"}) {
        const QString name = QString::fromLatin1(tool);
        if (QStandardPaths::findExecutable(name).isEmpty()
            && QStandardPaths::findExecutable(name, system).isEmpty())
            return name + QStringLiteral(" is not installed");
    }
    return {};
}

QString ClusterFront::script() const
{
    return QDir(m_sourceDir).filePath(QStringLiteral("scripts/front.sh"));
}

QStringList ClusterFront::serverOptions() const
{
    QByteArray out;
    run(script(), {QStringLiteral("options")}, &out, nullptr);
    return QString::fromUtf8(out).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool ClusterFront::start(const QList<ServicePorts> &servers, QString *error)
{
    QByteArray why;
    // A port found free may be taken before the front binds it: then try others.
    for (int attempt = 0; attempt < 3 && !m_up; ++attempt) {
        quint16 free[4] = {};
        {
            std::unique_ptr<QTcpServer> probes[4];
            for (int i = 0; i < 4; ++i) {
                probes[i] = std::make_unique<QTcpServer>();
                if (!probes[i]->listen(QHostAddress::LocalHost, 0))
                    break;
                free[i] = probes[i]->serverPort();
            }
        }
        m_ports = {free[0], free[1], free[2], free[3]};
        QStringList arguments{QStringLiteral("up")};
        for (quint16 port : free)
            arguments << QString::number(port);
        arguments << QStringLiteral("--");
        for (const ServicePorts &server : servers)
            arguments << QString::number(server.list) << QString::number(server.create)
                      << QString::number(server.post) << QString::number(server.http);
        m_up = run(script(), arguments, nullptr, &why);
    }
    if (!m_up && error)
        *error = QStringLiteral("front.sh up failed: %1").arg(QString::fromUtf8(why));
    return m_up;
}
