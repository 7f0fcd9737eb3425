#pragma once
// One tavernly-server process on free loopback ports, started the way the
// tests and the benches all start it: it is ready once it printed its
// listening line, which names the ports it took.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct ServicePorts
{
    quint16 list = 0, create = 0, post = 0, http = 0;
    quint16 metrics = 0; // 0 unless asked for with --metrics ADDRESS:0
};

class ServerProcess
{
public:
    enum class Log { Kept, Dropped }; // its standard error: in a file, or nowhere (one line a request)
    explicit ServerProcess(Log log = Log::Kept);
    ~ServerProcess(); // asks it to stop, waits, kills it if it must

    // Starts the binary with these arguments, --data (dataDir, or a folder of
    // its own when empty) and free ports; returns once it listens, false with
    // *error when it did not within timeoutMs.
    bool start(const QString &binary, const QStringList &arguments = {}, QString *error = nullptr,
               const QString &dataDir = {}, int timeoutMs = 60000);
    const ServicePorts &ports() const { return m_ports; }
    QProcess &process() { return m_process; }
    qint64 peakMemoryKiB() const;
    // SIGTERM, then waits; true if it ended by itself with status 0.
    bool stop(int timeoutMs = 30000);
    void kill(); // SIGKILL: nothing of it runs on
    QByteArray log() const; // what it wrote to standard error so far (Log::Kept)

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    ServicePorts m_ports;
};
