#pragma once
// The front scripts/front.sh puts before several servers on this machine, on
// free loopback ports: the service as it runs on several machines. The front
// changes the firewall of the network namespace it runs in, so whoever uses
// it runs in one of its own (scripts/front.sh isolated). The PostgreSQL
// cluster the servers share comes from scripts/pg-throwaway.sh run
// (TAVERNLY_TEST_DATABASE). Lives on the thread that made it.

#include "serverprocess.h"

#include <QList>
#include <QString>
#include <QStringList>

class ClusterFront
{
public:
    explicit ClusterFront(const QString &sourceDir) : m_sourceDir(sourceDir) {}
    ~ClusterFront(); // front.sh down
    ClusterFront(const ClusterFront &) = delete;
    ClusterFront &operator=(const ClusterFront &) = delete;

    // Empty when a front can be put up here, else what is missing.
    static QString missing();
    // What every server behind the front needs on its command line.
    QStringList serverOptions() const;
    // Returns once the front forwards to these servers (front.sh up).
    bool start(const QList<ServicePorts> &servers, QString *error);
    const ServicePorts &ports() const { return m_ports; }

private:
    QString script() const;

    QString m_sourceDir;
    ServicePorts m_ports;
    bool m_up = false;
};
