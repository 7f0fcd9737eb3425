#pragma once
// What the server load benches add to the test kit (tests/support): the
// server with its metrics port, a forum's count, latency figures, load tools.

#include "metricsreader.h"
#include "plainsender.h"
#include "serverprocess.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <atomic>
#include <vector>

namespace serverprobe {

using Ports = ServicePorts;

// The server program on free loopback ports (its metrics port too) over
// dataDir, its log dropped unless kept in a file.
class Server : public ServerProcess
{
public:
    Server(const QString &program, const QString &dataDir, Log log = Log::Dropped)
        : ServerProcess(log)
    {
        start(program,
              {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0"),
               // one address sends every request of a load run
               QStringLiteral("--create-limit"), QStringLiteral("0"),
               QStringLiteral("--post-limit"), QStringLiteral("0")},
              nullptr, dataDir);
    }
    bool isRunning() const { return ports().list != 0; }
    qint64 processId() { return process().processId(); }
};

using kit::connectLoopback;
using kit::exchange;

// A forum's message count as the start page shows it; -1 if not shown.
qint64 storedIn(quint16 httpPort, const QString &forum);

// A sample's value as the metrics port shows it ("tavernly_posts_stored_total");
// -1 if it is not there.
inline double metric(quint16 metricsPort, const QByteArray &series)
{
    return kit::sample(kit::scrapeMetrics(metricsPort), series);
}

// Milliseconds per request, sorted on demand.
struct Latencies
{
    std::vector<double> ms;
    double at(double quantile); // 0.5: median, 0.99: p99
};

// GETLIST back to back until *stop, recording each exchange's time.
void listLoop(quint16 port, const std::atomic<bool> &stop, Latencies *out);

double nowMs();

// CPU time (user and system) a process has used so far, in seconds; -1 if it is gone.
double cpuSeconds(qint64 pid);
// CPU time of this process's children that have ended and been waited for (the load tools).
double childrenCpuSeconds();

// Runs a load tool (wrk, ab) for at most two minutes, printing its command
// line first; what it printed, both streams.
QByteArray runTool(const QStringList &command);
// A tool's figure from its output (the first capture of pattern), or -1.
double figure(const QByteArray &output, const char *pattern);

} // namespace serverprobe
