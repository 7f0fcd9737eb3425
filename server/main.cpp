// tavernly-server: the reference forum server.

#include "server/app/forumserver.h"
#include "server/app/inheritedsockets.h"
#include "server/app/logwriter.h"
#include "server/app/systemdnotifier.h"
#include "server/store/databasebackup.h"
#include "server/store/forumstore.h"
#include "server/store/moderation.h"
#include "server/app/quitsignals.h"
#include "server/posts/quarantine.h"
#include "server/posts/quarantinecommand.h"
#include "server/posts/spool.h"
#include "server/posts/spoolreplay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

bool readPort(const QCommandLineParser &parser, const QString &option, quint16 *port)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const uint value = parser.value(option).toUInt(&ok);
    if (!ok || value > 65535) {
        std::fprintf(stderr, "tavernly-server: --%s needs a port number from 0 to 65535\n",
                     qPrintable(option));
        return false;
    }
    *port = quint16(value);
    return true;
}

bool readLimit(const QCommandLineParser &parser, const QString &option, int *limit)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < 0) {
        std::fprintf(stderr, "tavernly-server: --%s needs a count (0: no limit)\n",
                     qPrintable(option));
        return false;
    }
    *limit = value;
    return true;
}

bool readTrustedProxies(const QCommandLineParser &parser, ServerConfig *config)
{
    for (const QString &value : parser.values(QStringLiteral("trust-proxy"))) {
        const QHostAddress address(value);
        if (address.isNull()) {
            std::fprintf(stderr, "tavernly-server: --trust-proxy needs an IP address\n");
            return false;
        }
        config->trustedProxies.append(address);
    }
    return true;
}

// ADDRESS:PORT, the address as --listen takes it ("[::1]:9100" for IPv6).
bool readMetricsAddress(const QCommandLineParser &parser, ServerConfig *config)
{
    if (!parser.isSet(QStringLiteral("metrics")))
        return true;
    const QString value = parser.value(QStringLiteral("metrics"));
    const qsizetype colon = value.lastIndexOf(u':');
    QString host = value.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = colon > 0 ? value.mid(colon + 1).toUInt(&ok) : 0;
    const QHostAddress address(host);
    if (!ok || port > 65535 || address.isNull()) {
        std::fprintf(stderr, "tavernly-server: --metrics needs ADDRESS:PORT, "
                             "e.g. 127.0.0.1:9478\n");
        return false;
    }
    config->metricsAddress = address;
    config->metricsPort = quint16(port);
    return true;
}

// The PostgreSQL password never goes on the command line: it comes from
// --database-password-file, or else from the credential systemd passes the
// service (LoadCredential=database-password:FILE). Without either, the
// PostgreSQL client library looks in PGPASSFILE (or ~/.pgpass).
bool readDatabasePassword(const QCommandLineParser &parser, std::optional<DatabaseUrl> &database)
{
    const bool postgresql = database && database->engine == DatabaseUrl::Engine::PostgreSQL;
    if (postgresql && !database->password.isEmpty())
        std::fprintf(stderr, "tavernly-server: warning: every user of this machine can read "
                             "the password in --database; use --database-password-file\n");
    QString path = parser.value(QStringLiteral("database-password-file"));
    if (!path.isEmpty() && !postgresql) {
        std::fprintf(stderr, "tavernly-server: --database-password-file needs a "
                             "postgresql:// --database\n");
        return false;
    }
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (path.isEmpty() && postgresql && !credentials.isEmpty() &&
        QFile::exists(credentials + QStringLiteral("/database-password")))
        path = credentials + QStringLiteral("/database-password");
    if (path.isEmpty())
        return true;
    QString error;
    const std::optional<QString> password = DatabaseUrl::readPasswordFile(path, &error);
    if (!password) {
        std::fprintf(stderr, "tavernly-server: database password: %s\n", qPrintable(error));
        return false;
    }
    database->password = *password;
    return true;
}

// Stores what a data folder's spool holds, as a start would, and ends: a
// server that will not come back hands its posts over this way.
int drainSpool(const QString &dataDir, const DatabaseUrl &database)
{
    const LogSink log = [](const QString &line) {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    };
    Spool spool;
    ForumStore store;
    QString error;
    quint64 last = 0;
    if (!spool.open(ForumServer::spoolFolder(dataDir), &error) || !store.open(database, &error)
        || !spoolreplay::replay(store, spool, Quarantine(dataDir), log, &last, &error)) {
        std::fprintf(stderr, "tavernly-server: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "spool drained\n");
    return 0;
}

constexpr int stopDeadlineMs = 7000;

} // namespace

int main(int argc, char *argv[])
{
    // Qt's plain event dispatcher, not GLib's: GLib wakes its own loop with a
    // write to an eventfd for every socket watched or unwatched, and scans
    // every source twice a turn; the plain one watches a socket for the cost
    // of a table entry. Each thread's dispatcher is chosen as it starts, so
    // this holds for the store and spool threads too.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavernly-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVERNLY_VERSION));

    ServerConfig config;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The Tavernly forum server: list, create and post ports and the forum pages."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QString defaultData =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("ADDR")},
        {QStringLiteral("data"),
         QStringLiteral("Folder of the forum database (default %1).").arg(defaultData),
         QStringLiteral("DIR")},
        {QStringLiteral("database"),
         QStringLiteral("Where the forums are kept: sqlite:PATH or "
                        "postgresql://user@host:port/dbname (default: sqlite: the file in the "
                        "data folder). Several servers may share one PostgreSQL database."),
         QStringLiteral("URL")},
        {QStringLiteral("database-password-file"),
         QStringLiteral("File holding the PostgreSQL password on one line, readable by its "
                        "owner only (default: the systemd credential database-password, "
                        "else PGPASSFILE)."),
         QStringLiteral("FILE")},
        {QStringLiteral("list-port"), QStringLiteral("List port (default 8478, 0: any free)."),
         QStringLiteral("PORT")},
        {QStringLiteral("create-port"),
         QStringLiteral("Create port (default 8476, 0: any free)."), QStringLiteral("PORT")},
        {QStringLiteral("post-port"), QStringLiteral("Post port (default 8477, 0: any free)."),
         QStringLiteral("PORT")},
        {QStringLiteral("http-port"),
         QStringLiteral("Page port (default 6340, 0: any free)."), QStringLiteral("PORT")},
        {QStringLiteral("change-poll"),
         QStringLiteral("Count the database's commits every MS milliseconds, for changes nobody "
                        "announced: a moderator's command, a lost PostgreSQL notification "
                        "(default 1000; 0: never)."),
         QStringLiteral("MS")},
        {QStringLiteral("metrics"),
         QStringLiteral("Serve GET /metrics (Prometheus text format) on ADDRESS:PORT "
                        "(default: off)."),
         QStringLiteral("ADDRESS:PORT")},
        {QStringLiteral("create-limit"),
         QStringLiteral("New forums one address may create per hour (default 10, 0: no limit)."),
         QStringLiteral("N")},
        {QStringLiteral("post-limit"),
         QStringLiteral("Posts one address may send per minute (default 60, 0: no limit)."),
         QStringLiteral("N")},
        {QStringLiteral("search-limit"),
         QStringLiteral("Searches one address may make per minute (default 30, 0: no limit)."),
         QStringLiteral("N")},
        {QStringLiteral("trust-proxy"),
         QStringLiteral("Connections from ADDRESS (a load balancer, e.g. HAProxy with "
                        "send-proxy-v2) begin with a PROXY header, version 1 or 2; the client "
                        "it names is the one limits, the log and metrics see. Repeatable."),
         QStringLiteral("ADDRESS")},
        {QStringLiteral("spool-budget"),
         QStringLiteral("Bytes the spool of posts not yet stored may hold on disk; past it new "
                        "posts are refused (default 1073741824, 1 GiB)."),
         QStringLiteral("BYTES")},
    });
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("Instead of serving: hide FORUM NUMBER hides a message from every page "
                       "(NUMBER counts the forum's messages from 1, as its anchor mNUMBER "
                       "shows); unhide FORUM NUMBER shows it again; drain stores the posts "
                       "the data folder's spool holds (a server that will not come back) "
                       "and ends; quarantine lists the posts the database refused, kept in "
                       "the data folder; quarantine restore stores those it now takes; "
                       "backup FILE writes a consistent copy of the SQLite "
                       "database to the new FILE while a server goes on using it "
                       "(PostgreSQL: pg_dump)."),
        QStringLiteral("[hide|unhide FORUM NUMBER|drain|quarantine [restore]|backup FILE]"));
    parser.process(app);

    if (parser.isSet(QStringLiteral("listen"))) {
        config.address = QHostAddress(parser.value(QStringLiteral("listen")));
        if (config.address.isNull()) {
            std::fprintf(stderr, "tavernly-server: --listen needs an IP address\n");
            return 2;
        }
    }
    config.dataDir = parser.isSet(QStringLiteral("data")) ? parser.value(QStringLiteral("data"))
                                                          : defaultData;
    if (parser.isSet(QStringLiteral("database"))) {
        QString error;
        config.database = DatabaseUrl::parse(parser.value(QStringLiteral("database")), &error);
        if (!config.database) {
            std::fprintf(stderr, "tavernly-server: --database: %s\n", qPrintable(error));
            return 2;
        }
    }
    if (!readDatabasePassword(parser, config.database))
        return 2;
    if (!parser.positionalArguments().isEmpty()) {
        const DatabaseUrl database = config.database
            ? *config.database
            : DatabaseUrl::sqliteFile(QDir(config.dataDir).filePath(ForumStore::fileName()));
        const QStringList command = parser.positionalArguments();
        if (command == QStringList{QStringLiteral("drain")})
            return drainSpool(config.dataDir, database);
        if (command.first() == u"quarantine")
            return quarantinecommand::run(command, config.dataDir, database);
        if (command.first() == u"backup") {
            if (command.size() != 2) {
                std::fprintf(stderr, "tavernly-server: backup needs the FILE to write\n");
                return 2;
            }
            return databasebackup::run(database, command.at(1));
        }
        return moderation::run(parser.positionalArguments(), database);
    }
    if (parser.isSet(QStringLiteral("spool-budget"))) {
        bool ok = false;
        config.spoolBudget = parser.value(QStringLiteral("spool-budget")).toLongLong(&ok);
        if (!ok || config.spoolBudget < 65536) {
            std::fprintf(stderr, "tavernly-server: --spool-budget needs a number of bytes, "
                                 "at least 65536\n");
            return 2;
        }
    }
    // The tests' stand-in for a disk that stalls; nothing else sets it.
    config.spoolFlushDelayMs = qEnvironmentVariableIntValue("TAVERNLY_TEST_SPOOL_FLUSH_DELAY_MS");
    if (!readPort(parser, QStringLiteral("list-port"), &config.listPort) ||
        !readPort(parser, QStringLiteral("create-port"), &config.createPort) ||
        !readPort(parser, QStringLiteral("post-port"), &config.postPort) ||
        !readPort(parser, QStringLiteral("http-port"), &config.httpPort) ||
        !readMetricsAddress(parser, &config) ||
        !readLimit(parser, QStringLiteral("create-limit"), &config.createLimit) ||
        !readLimit(parser, QStringLiteral("post-limit"), &config.postLimit) ||
        !readLimit(parser, QStringLiteral("search-limit"), &config.searchLimit) ||
        !readTrustedProxies(parser, &config))
        return 2;
    if (parser.isSet(QStringLiteral("change-poll"))) {
        bool ok = false;
        config.changePollMs = parser.value(QStringLiteral("change-poll")).toInt(&ok);
        if (!ok || config.changePollMs < 0) {
            std::fprintf(stderr, "tavernly-server: --change-poll needs a number of milliseconds\n");
            return 2;
        }
    }

    // Under systemd's socket units: their listening sockets, by name.
    QString socketError;
    if (!inheritedsockets::take(&config.inheritedSockets, &socketError)) {
        std::fprintf(stderr, "tavernly-server: %s\n", qPrintable(socketError));
        return 2;
    }

    // Made before the server, so gone after it: its last lines come as it is destroyed.
    auto log = std::make_unique<LogWriter>();
    log->writeOutOnCrash();
    ForumServer server(config);
    QObject::connect(&server, &ForumServer::logLine, log.get(), &LogWriter::write);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "tavernly-server: %s\n", qPrintable(error));
        return 1;
    }
    quitOnTerminationSignals();
    std::printf("%s\n", qPrintable(server.listeningLine()));
    std::fflush(stdout);
    // Ready once the spool is stored and every port listens: start() has done both.
    SystemdNotifier systemd;
    systemd.ready([&server] { return server.statusLine(); });
    const int code = app.exec();
    systemd.stopping(QStringLiteral("stopping: finishing the posts being read"));
    // Within systemd's stop timeout, whatever the database does: a thread
    // blocked in a statement is left behind (what it held waits in the spool).
    if (!server.stop(stopDeadlineMs)) {
        log.reset(); // its last lines out
        std::fflush(stdout);
        ::_exit(code);
    }
    return code;
}
