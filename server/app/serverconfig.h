#pragma once
// Where the server listens and how long it waits: the options, as main()
// read them. Only the app layer sees it whole; each part is handed its own values.

#include "server/store/databaseurl.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <optional>

struct ServerConfig
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 listPort = 8478;
    quint16 createPort = 8476;
    quint16 postPort = 8477;
    quint16 httpPort = 6340;
    // Listening sockets systemd passed, by name ("list", "create", "post",
    // "pages"): taken instead of the address and port; the rest are listened on.
    QHash<QString, int> inheritedSockets;
    // The metrics port (GET /metrics), off unless an address is given.
    QHostAddress metricsAddress;
    quint16 metricsPort = 0;
    QString dataDir;
    std::optional<DatabaseUrl> database; // none: the SQLite file in dataDir
    // The spool (in dataDir/spool) may hold this much; past it posts are refused.
    qint64 spoolBudget = qint64(1) << 30;
    // How long a statement may wait for a lock or run (0: the engine's default).
    int statementWaitMs = 0;

    // The waits are fixed for clients; tests shorten them.
    int listWaitMs = 5000;   // for the whole list request
    int createPauseMs = 100; // a pause this long ends a create request
    // A create the database has not decided this long after the request gets no reply.
    int createWaitMs = 3000;
    // A page not ready this long after its request (its posts not stored, or
    // not built) is answered 503 with Retry-After.
    int pageWaitMs = 250;
    // A request not complete this long after its connection was accepted
    // (for pages: after the previous answer) is cut off, however it trickles;
    // a whole post then waits for the disk, not for this.
    int requestMs = 10000;
    int maxConnections = 512; // shared by the four ports
    // At the limit, an unfinished connection at least this old may be cut
    // off for a waiting one.
    int makeRoomAfterMs = 1000;
    // How often the store counts what was committed, for commits nobody
    // announced (SQLite: a moderator's command; PostgreSQL: a lost
    // notification). 0: never, so only announcements are heard.
    int changePollMs = 1000;

    // Per client address (0: no limit): new forums within createWindowMs,
    // posts within postWindowMs. Tests shorten the windows.
    int createLimit = 10;
    qint64 createWindowMs = 3600 * 1000;
    int postLimit = 60;
    qint64 postWindowMs = 60 * 1000;
    int searchLimit = 30; // searches a minute

    // Load balancers whose connections begin with a PROXY header naming the
    // client: that address is the one limits, the log and metrics see.
    QList<QHostAddress> trustedProxies;

    // Tests only (TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS), no option sets it:
    // each spool flush first waits this long.
    int spoolFlushDelayMs = 0;
};
