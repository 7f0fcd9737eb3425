#include "serverprobe.h"

#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <sys/resource.h>
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

qint64 storedIn(quint16 httpPort, const QString &forum)
{
    const QByteArray page = exchange(httpPort, "GET /dn.htm HTTP/1.0\r\n\r\n");
    const QRegularExpression count(QRegularExpression::escape(forum)
                                   + QStringLiteral("</a> \\((\\d+) message"));
    const auto match = count.match(QString::fromUtf8(page));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
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
