#include "serverprobe.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace serverprobe {

double nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The name in parentheses may hold spaces: fields count from after it.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / ticks; // utime, stime
}

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Server::Server(const QString &program, const QString &dataDir)
{
    m_process.setStandardErrorFile(QProcess::nullDevice()); // one log line per request
    m_process.start(program, {"--data", dataDir, "--list-port", "0", "--create-port", "0",
                              "--post-port", "0", "--http-port", "0", "--metrics",
                              "127.0.0.1:0"});
    static const QRegularExpression ready(QStringLiteral(
        "listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+) metrics=(\\d+)"));
    QByteArray out;
    const double until = nowMs() + 60000; // a large database may take a moment to open
    while (nowMs() < until && m_process.state() != QProcess::NotRunning) {
        m_process.waitForReadyRead(100);
        out += m_process.readAllStandardOutput();
        const QRegularExpressionMatch match = ready.match(QString::fromUtf8(out));
        if (match.hasMatch()) {
            m_ports = {quint16(match.captured(1).toUInt()), quint16(match.captured(2).toUInt()),
                       quint16(match.captured(3).toUInt()), quint16(match.captured(4).toUInt()),
                       quint16(match.captured(5).toUInt())};
            return;
        }
    }
}

Server::~Server()
{
    stop();
}

void Server::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(30000))
        m_process.kill();
    m_process.waitForFinished();
}

long Server::peakMemoryKb() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

int connectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray exchange(quint16 port, const QByteArray &request, bool *ok)
{
    const int fd = connectLoopback(port);
    QByteArray reply;
    bool sent = false;
    if (fd >= 0) {
        timeval wait{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sent = ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)
            == ssize_t(request.size());
    }
    if (sent) {
        ::shutdown(fd, SHUT_WR);
        char buffer[65536];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, got);
    }
    if (fd >= 0)
        ::close(fd);
    if (ok)
        *ok = sent;
    return reply;
}

qint64 storedIn(quint16 httpPort, const QString &forum)
{
    const QByteArray page = exchange(httpPort, "GET /dn.htm HTTP/1.0\r\n\r\n");
    const QRegularExpression count(QRegularExpression::escape(forum)
                                   + QStringLiteral("</a> \\((\\d+) message"));
    const auto match = count.match(QString::fromUtf8(page));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

double metric(quint16 metricsPort, const QByteArray &series)
{
    const QByteArray answer = exchange(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    for (const QByteArray &line : answer.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

double Latencies::at(double quantile)
{
    if (ms.empty())
        return 0;
    std::sort(ms.begin(), ms.end());
    return ms[size_t(quantile * double(ms.size() - 1))];
}

void listLoop(quint16 port, const std::atomic<bool> &stop, Latencies *out)
{
    while (!stop) {
        const double start = nowMs();
        exchange(port, "GETLIST");
        out->ms.push_back(nowMs() - start);
    }
}

QByteArray runTool(const QStringList &command)
{
    std::printf("  $ %s\n", qPrintable(command.join(u' ')));
    std::fflush(stdout);
    QProcess tool;
    tool.start(command.first(), command.mid(1));
    if (!tool.waitForFinished(120000)) {
        tool.kill();
        tool.waitForFinished();
    }
    return tool.readAllStandardOutput() + tool.readAllStandardError();
}

double figure(const QByteArray &output, const char *pattern)
{
    const auto match = QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromUtf8(output));
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

} // namespace serverprobe
