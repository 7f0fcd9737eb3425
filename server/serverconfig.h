#pragma once
// Where the server listens and how long it waits.

#include "server/databaseurl.h"

#include <QHostAddress>
#include <QString>
#include <functional>
#include <optional>

struct ServerConfig
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 listPort = 8478;
    quint16 createPort = 8476;
    quint16 postPort = 8477;
    quint16 httpPort = 6340;
    QString dataDir;
    std::optional<DatabaseUrl> database; // none: the SQLite file in dataDir

    // The waits are fixed for clients; tests shorten them.
    int listWaitMs = 5000;   // for the whole list request
    int createPauseMs = 100; // a pause this long ends a create request
    int idleMs = 10000;      // any connection without traffic is closed
    int maxConnections = 512;
};

using LogSink = std::function<void(const QString &line)>;
