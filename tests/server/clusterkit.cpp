#include "clusterkit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <memory>

namespace {

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

QString portList(const ServicePorts &p)
{
    return QStringLiteral("%1,%2,%3,%4").arg(p.list).arg(p.create).arg(p.post).arg(p.http);
}

} // namespace

ServerProcess::ServerProcess()
{
    m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("server.log")));
}

ServerProcess::~ServerProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(15000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ServerProcess::start(const QString &binary, const QStringList &arguments, QString *error)
{
    m_process.start(binary, QStringList(arguments)
                                << QStringLiteral("--data") << m_dir.filePath(QStringLiteral("data"))
                                << QStringLiteral("--list-port") << QStringLiteral("0")
                                << QStringLiteral("--create-port") << QStringLiteral("0")
                                << QStringLiteral("--post-port") << QStringLiteral("0")
                                << QStringLiteral("--http-port") << QStringLiteral("0")
                                // The shipped configuration reaches servers from there.
                                << QStringLiteral("--trust-proxy") << QStringLiteral("127.0.0.2"));
    static const QRegularExpression listening(
        QStringLiteral("^listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)"));
    const QDeadlineTimer deadline(20000);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || !m_process.waitForReadyRead(int(deadline.remainingTime())))
            return fail(error, QStringLiteral("the server did not start: %1")
                                   .arg(QString::fromUtf8(log())));
        out += m_process.readAllStandardOutput();
    }
    const auto match = listening.match(QString::fromUtf8(out));
    if (!match.hasMatch())
        return fail(error, QStringLiteral("unexpected first line: %1").arg(QString::fromUtf8(out)));
    m_ports = {match.captured(1).toUShort(), match.captured(2).toUShort(),
               match.captured(3).toUShort(), match.captured(4).toUShort()};
    return true;
}

void ServerProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(10000);
}

QByteArray ServerProcess::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
    QString why;
    // A port found free may be taken before HAProxy binds it: then try others.
    for (int attempt = 0; attempt < 5; ++attempt) {
        quint16 free[4] = {};
        {
            std::unique_ptr<QTcpServer> probes[4];
            for (int i = 0; i < 4; ++i) {
                probes[i] = std::make_unique<QTcpServer>();
                if (!probes[i]->listen(QHostAddress::LocalHost, 0))
                    return fail(error, QStringLiteral("no free port"));
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
            return fail(error, QStringLiteral("haproxy-config.sh failed: %1")
                                   .arg(QString::fromUtf8(generate.readAllStandardError())));

        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("haproxy.log")));
        m_process.start(QStringLiteral("haproxy"), {QStringLiteral("-f"), config,
                                                    QStringLiteral("-db")});
        if (!m_process.waitForStarted(10000))
            return fail(error, QStringLiteral("haproxy did not start"));
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            int status = 0;
            wire::httpGet(m_ports.http, QStringLiteral("/dn.htm"), &status, 2000);
            if (status == 200)
                return true;
            m_process.waitForFinished(100); // a pause that ends early if HAProxy quits
        }
        why = QString::fromUtf8(log());
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    return fail(error, QStringLiteral("HAProxy did not answer: %1").arg(why));
}

QByteArray HaproxyFront::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("haproxy.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace wire {

QByteArray exchange(quint16 port, const QByteArray &request, bool *ok, int timeoutMs)
{
    if (ok)
        *ok = false;
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(request);
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        reply += socket.readAll();
    }
    reply += socket.readAll();
    // Only the server's orderly close ends a reply; a reset is a failure.
    if (ok)
        *ok = socket.state() != QAbstractSocket::ConnectedState &&
              socket.error() == QAbstractSocket::RemoteHostClosedError;
    return reply;
}

bool post(quint16 port, const QByteArray &request, int timeoutMs, const QHostAddress &from)
{
    QTcpSocket socket;
    if (!from.isNull() && !socket.bind(from))
        return false;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(request);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(timeoutMs))
            return false;
    }
    socket.disconnectFromHost();
    return socket.state() == QAbstractSocket::UnconnectedState ||
           socket.waitForDisconnected(timeoutMs);
}

QByteArray httpGet(quint16 port, const QString &pathAndQuery, int *status, int timeoutMs)
{
    *status = 0;
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write("GET " + pathAndQuery.toUtf8() +
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    // Complete at its Content-Length, whether or not the server closes then.
    QByteArray reply;
    qsizetype headEnd = -1;
    qsizetype length = -1;
    while (!deadline.hasExpired()) {
        if (headEnd < 0 && (headEnd = reply.indexOf("\r\n\r\n")) >= 0) {
            static const QRegularExpression contentLength(
                QStringLiteral("\r\ncontent-length: *(\\d+)"),
                QRegularExpression::CaseInsensitiveOption);
            const auto match = contentLength.match(QString::fromLatin1(reply.left(headEnd + 2)));
            length = match.hasMatch() ? match.captured(1).toLongLong() : -1;
        }
        if (headEnd >= 0 && length >= 0 && reply.size() >= headEnd + 4 + length)
            break;
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        reply += socket.readAll();
    }
    if (headEnd < 0 || !reply.startsWith("HTTP/1.") ||
        (length >= 0 && reply.size() < headEnd + 4 + length))
        return {};
    *status = reply.mid(9, 3).toInt();
    return reply.mid(headEnd + 4, length);
}

} // namespace wire
