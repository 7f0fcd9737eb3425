#pragma once
// HAProxy with the shipped configuration in front of servers on this
// machine, on free loopback ports: the service as it runs on several
// machines. The PostgreSQL cluster the servers share comes from
// scripts/pg-throwaway.sh run (TAVERNLY_TEST_DATABASE).

#include "serverprocess.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

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
