#pragma once
// The service as it runs on several machines, on this one: real server
// processes and HAProxy in front of them, on free loopback ports. Used by
// the cluster test and the cluster benchmark; the PostgreSQL cluster itself
// comes from scripts/pg-throwaway.sh run (TAVERNLY_TEST_DATABASE).

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct ServicePorts
{
    quint16 list = 0, create = 0, post = 0, http = 0;
};

// One tavernly-server process on free ports, its log in a file.
class ServerProcess
{
public:
    ServerProcess();
    ~ServerProcess(); // asks it to stop, and waits

    // Starts the binary with these arguments (and --data, free ports, and
    // --trust-proxy for HaproxyFront's address); returns once it listens.
    bool start(const QString &binary, const QStringList &arguments, QString *error);
    const ServicePorts &ports() const { return m_ports; }
    void kill(); // SIGKILL: nothing of it runs on
    QByteArray log() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    ServicePorts m_ports;
};

// HAProxy with the shipped configuration, for servers on this machine.
class HaproxyFront
{
public:
    ~HaproxyFront();

    static bool installed();
    enum class Balance { AsShipped, Spread }; // Spread: each connection to the next server
    // Returns once every port answers and a start page came through.
    bool start(const QString &sourceDir, const QList<ServicePorts> &servers, Balance balance,
               QString *error);
    const ServicePorts &ports() const { return m_ports; }
    QByteArray log() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    ServicePorts m_ports;
};

// Blocking exchanges with a bound, for checks around a run.
namespace wire {
// Sends the request and reads until the server closes; empty on failure.
QByteArray exchange(quint16 port, const QByteArray &request, bool *ok = nullptr,
                    int timeoutMs = 10000);
// Sends a post and closes, as the client does; false if it could not be sent.
// from: the loopback address to send from (none: the system's choice).
bool post(quint16 port, const QByteArray &request, int timeoutMs = 10000,
          const QHostAddress &from = {});
// GET over HTTP/1.1 with Connection: close; the body, *status the code (0: no answer).
QByteArray httpGet(quint16 port, const QString &pathAndQuery, int *status, int timeoutMs = 10000);
} // namespace wire
