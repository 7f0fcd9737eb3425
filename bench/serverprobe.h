#pragma once
// What the server load bench needs around the server: starting it on free
// ports, plain blocking exchanges as senders make them, latency figures.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <atomic>
#include <vector>

namespace serverprobe {

struct Ports
{
    quint16 list = 0, create = 0, post = 0, http = 0, metrics = 0;
};

// The server program on free loopback ports (its metrics port too) over
// dataDir, its log dropped.
class Server
{
public:
    Server(const QString &program, const QString &dataDir);
    ~Server();
    bool isRunning() const { return m_ports.list != 0; }
    const Ports &ports() const { return m_ports; }
    long peakMemoryKb() const; // VmHWM so far
    qint64 processId() const { return m_process.processId(); }
    void stop();

private:
    QProcess m_process;
    Ports m_ports;
};

// A blocking TCP connection to a loopback port; -1 if it was refused.
int connectLoopback(quint16 port);

// Connect, send, end the sending half, read until the server closes.
// Empty with *ok false when the connection or the send failed.
QByteArray exchange(quint16 port, const QByteArray &request, bool *ok = nullptr);

// A forum's message count as the start page shows it; -1 if not shown.
qint64 storedIn(quint16 httpPort, const QString &forum);

// A sample's value as the metrics port shows it ("tavernly_posts_stored_total");
// -1 if it is not there.
double metric(quint16 metricsPort, const QByteArray &series);

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
