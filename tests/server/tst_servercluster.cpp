// Two servers on one PostgreSQL database behind the front (scripts/front.sh),
// as the service runs on several machines: a post flood through the front with
// one server killed half way, two servers creating the same names at once, and
// limits per client that see the client, and its refusals, through the front.
// Run in a network namespace of its own (scripts/front.sh isolated), whose
// firewall the front may change.

#include "clusterfront.h"
#include "flood.h"
#include "httpanswer.h"
#include "plainsender.h"
#include "serverprocess.h"
#include "tests/missingtool.h"
#include "server/pages/pages.h"
#include "server/store/databaseurl.h"
#include "waits.h"
#include "wireclient.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using kit::acknowledged;

namespace {

constexpr int forumCount = 4;

QString forumName(int i)
{
    return QStringLiteral("Race %1").arg(i);
}

// How often each body is stored in the database.
QHash<QByteArray, int> storedBodies(const QString &address)
{
    QHash<QByteArray, int> counts;
    const std::optional<DatabaseUrl> url = DatabaseUrl::parse(address, nullptr);
    if (url && url->open(QStringLiteral("flood"), nullptr)) {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("flood")));
        query.exec(QStringLiteral("SELECT body, count(*) FROM messages GROUP BY body"));
        while (query.next())
            counts.insert(query.value(0).toByteArray(), query.value(1).toInt());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("flood"));
    return counts;
}

// Every list request answered, n in a row: the front sends none to a dead server.
bool listAnswers(quint16 port, int n)
{
    for (int i = 0; i < n; ++i) {
        bool ok = false;
        if (!kit::exchange(port, "GETLIST", &ok, 10000).startsWith("Welcome*") || !ok)
            return false;
    }
    return true;
}

} // namespace

class TestServerCluster : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void floodWithOneServerKilled();
    void limitsSeeTheClientThroughTheFront();

private:
    QString m_database;
};

void TestServerCluster::initTestCase()
{
    const QByteArray database = qgetenv("TAVERNLY_TEST_DATABASE");
    if (database == "none")
        SKIP_FOR_MISSING("PostgreSQL is not installed");
    if (database.isEmpty())
        QFAIL("run through scripts/pg-throwaway.sh run, which sets TAVERNLY_TEST_DATABASE");
    const QString missing = ClusterFront::missing();
    if (!missing.isEmpty()) {
        if (tavernlyRequireAll())
            QFAIL(qPrintable(missing + QStringLiteral(" (every test must run: TAVERNLY_REQUIRE_ALL=1)")));
        QSKIP(qPrintable(missing));
    }
    m_database = QString::fromUtf8(database);
}

// Senders post through the front without pause, each counting a post only
// once the server closed in order; one of the two servers is killed half way,
// and its spool handed over with drain afterwards. Every acknowledged post is
// then stored exactly once.
void TestServerCluster::floodWithOneServerKilled()
{
    ClusterFront front(TAVERNLY_SOURCE_DIR);
    QTemporaryDir dataDirs[2];
    ServerProcess servers[2];
    QString error;
    for (int i = 0; i < 2; ++i)
        QVERIFY2(servers[i].start(TAVERNLY_SERVER_BINARY,
                                  QStringList{"--database", m_database, "--create-limit", "0",
                                              "--post-limit", "0"}
                                      + front.serverOptions(),
                                  &error, dataDirs[i].path()),
                 qPrintable(error));

    // Each name sent to both servers at the same moment: one of them creates it.
    {
        std::vector<std::unique_ptr<WireClient>> creates;
        for (int i = 1; i <= 20; ++i) {
            for (ServerProcess &server : servers) {
                creates.push_back(std::make_unique<WireClient>(server.ports().create));
                creates.back()->send(forumName(i).toUtf8());
            }
        }
        WAIT_VERIFY(std::all_of(creates.begin(), creates.end(),
                                [](const auto &c) { return c->closedByServer(); }));
        for (size_t i = 0; i < creates.size(); i += 2) {
            const QSet<QByteArray> replies = {creates[i]->reply(), creates[i + 1]->reply()};
            QCOMPARE(replies, (QSet<QByteArray>{"CREATED", "EXISTS"}));
        }
    }

    // A post stored through one server is on the other's pages soon after
    // (its announcement, or the count behind it), though that server had
    // shown the page before. (A page not ready within 250 ms is a 503, and a
    // first commit on a loaded machine may take longer.)
    {
        const QString link = pages::forumLink(forumName(19));
        int status = 0;
        QVERIFY(!kit::httpGet(servers[1].ports().http, link.toUtf8(), &status).contains("seen by both"));
        QCOMPARE(status, 200);
        QVERIFY(acknowledged(servers[0].ports().post, "Race 19*seen by both*b"));
        for (ServerProcess &server : servers)
            QVERIFY(waitUntil(
                [&] { return kit::httpGet(server.ports().http, link.toUtf8(), &status).contains("seen by both"); },
                10000));
    }

    QVERIFY2(front.start({servers[0].ports(), servers[1].ports()}, &error), qPrintable(error));
    QList<QByteArray> forums;
    for (int i = 1; i <= forumCount; ++i)
        forums.append(forumName(i).toUtf8());
    kit::Flood flood(front.ports().post, "msg#", 8, 0, forums);
    QVERIFY(flood.grows(1000, 120000));
    servers[0].kill();
    const int atKill = flood.count();
    // The front stops sending connections to the dead server.
    QVERIFY(waitUntil([&] { return listAnswers(front.ports().list, 20); }, 20000));
    QVERIFY(flood.grows(1000, 120000));
    flood.stop();

    // Everything the live server took is stored once it stops; what the
    // killed one took waits in its spool, which drain hands over.
    QVERIFY(servers[1].stop());
    QProcess drain;
    drain.start(TAVERNLY_SERVER_BINARY, {"--data", dataDirs[0].path(), "--database", m_database, "drain"});
    QVERIFY(drain.waitForFinished(60000));
    QVERIFY2(drain.exitCode() == 0, drain.readAllStandardError().constData());

    const QString wrong = flood.lostOrTwice(storedBodies(m_database));
    qInfo("%d posts acknowledged (%d before the kill), %d not acknowledged", flood.count(), atKill,
          flood.failed());
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

// The front keeps each connection end to end: the server sees the client's
// own address, so two clients on one machine's two addresses are counted
// apart, and a post it refuses is reset at the client, not closed in order.
void TestServerCluster::limitsSeeTheClientThroughTheFront()
{
    ClusterFront front(TAVERNLY_SOURCE_DIR);
    ServerProcess server;
    QString error;
    QVERIFY2(server.start(TAVERNLY_SERVER_BINARY,
                          QStringList{"--database", m_database, "--create-limit", "2",
                                      "--post-limit", "2"}
                              + front.serverOptions(),
                          &error),
             qPrintable(error));
    QVERIFY2(front.start({server.ports()}, &error), qPrintable(error));
    const auto create = [&](const char *from, const QByteArray &name) {
        WireClient client(front.ports().create);
        client.bindTo(QHostAddress(QString::fromLatin1(from)));
        client.send(name);
        return waitUntil([&] { return client.closedByServer(); }) ? client.reply() : "<no end>";
    };
    QCOMPARE(create("127.0.0.5", "Limit A1"), QByteArray("CREATED"));
    QCOMPARE(create("127.0.0.5", "Limit A2"), QByteArray("CREATED"));
    QCOMPARE(create("127.0.0.5", "Limit A3"), QByteArray("LIMITED"));
    QCOMPARE(create("127.0.0.6", "Limit B1"), QByteArray("CREATED"));
    const auto post = [&](const char *from, const QByteArray &forum) {
        return acknowledged(front.ports().post, forum + "*<b>T</b>*from " + from, from);
    };
    QVERIFY(post("127.0.0.5", "Limit B1"));
    QVERIFY(post("127.0.0.5", "Limit B1"));
    QVERIFY(!post("127.0.0.5", "Limit B1")); // over the limit: reset
    QVERIFY(!post("127.0.0.6", "Nowhere"));  // no such forum: reset
    QVERIFY(post("127.0.0.6", "Limit B1"));
    WAIT_COMPARE(server.log().count("to \"Limit B1\": stored"), 3);
    const QByteArray log = server.log();
    QCOMPARE(log.count("create limited 127.0.0.5:"), 1);
    QCOMPARE(log.count("post limited 127.0.0.5:"), 1);
    QCOMPARE(log.count("post 127.0.0.6:"), 1);
    QCOMPARE(log.count("create 127.0.0.6:"), 1);
}

QTEST_GUILESS_MAIN(TestServerCluster)
#include "tst_servercluster.moc"
