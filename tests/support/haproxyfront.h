#pragma once
// HAProxy with the shipped configuration in front of servers on this
// machine, on free loopback ports: the service as it runs on several
// machines. The PostgreSQL cluster the servers share comes from
// scripts/pg-throwaway.sh run (TAVERNLY_TEST_DATABASE).

#include "serverprocess.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class HaproxyFront
{
public:
    ~HaproxyFront();

    static bool installed();
    // The shipped configuration reaches the servers from this address, which
    // they must trust to send the client's in a PROXY header.
    static QStringList trustItsAddress() { return {"--trust-proxy", "127.0.0.2"}; }
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
