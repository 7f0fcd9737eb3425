// The three exchanges against the fake server, without any window. Each start
// ends in at most one signal, and once it ended its timers are stopped and its
// connection closed, so nothing more can be reported: no second result, no
// late failure.
#include "fakeserver.h"
#include "protocol/createexchange.h"
#include "protocol/listexchange.h"
#include "protocol/postexchange.h"
#include "rawport.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(FakeServer::Behaviour)
Q_DECLARE_METATYPE(ExchangeFailure)

namespace {

using Action = FakeServer::Behaviour::Action;

// The fake server spaces its pieces with timers on this same thread, so a busy
// machine stretches the spacing: the quiet time is ten times the spacing.
constexpr int quietMs = 400;
constexpr int spacingMs = quietMs / 10;
constexpr int limitMs = 1000;
constexpr int listLimitMs = 3000; // room for a reply in pieces
// Once the exchange says it has ended, what is still on its way (a queued
// signal of its socket) is delivered; nothing may come of it.
template <typename Exchange>
bool hasEnded(const Exchange &exchange)
{
    if (exchange.timing() || exchange.socket().state() != QAbstractSocket::UnconnectedState)
        return false;
    QCoreApplication::processEvents();
    return !exchange.timing() && exchange.socket().state() == QAbstractSocket::UnconnectedState;
}

// How the post port behaves, by the name a post row gives it.
FakeServer::Behaviour postServer(const QString &server)
{
    if (server == u"refuses")
        return serve(Action::Refuse);
    if (server == u"closes after the end")
        return serveAfterPeerEnd(Action::Close, limitMs / 2); // well inside the limit
    if (server == u"answers, closes after the end")
        return serveAfterPeerEnd(Action::Reply, 0, {"OK"});
    if (server == u"resets after the end")
        return serveAfterPeerEnd(Action::Reset);
    return serve(Action::Silent); // reads, even the end, and never closes
}

// The kind of the one failure a spy saw, or -1.
int failureKind(const QSignalSpy &failed)
{
    return failed.isEmpty() ? -1 : int(failed.first().first().value<ExchangeFailure>());
}

} // namespace

class ExchangesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listEndings_data();
    void listEndings();
    void createEndings_data();
    void createEndings();
    void postEndings_data();
    void postEndings();
    void childProcessHoldsNoConnection();
};

void ExchangesTest::listEndings_data()
{
    QTest::addColumn<FakeServer::Behaviour>("behaviour");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("finishes");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("failure"); // -1: none

    const int connection = int(ExchangeFailure::ConnectionError);
    // Where the platform cannot tell a reset from a close, a reset ends as a close does.
    const bool resets = Socket::tellsResetFromClose();
    QTest::newRow("reply, then close") << serve(Action::Reply, {"Ale*Mead*"}) << listLimitMs << true
                                       << QStringList{"Ale", "Mead"} << -1;
    // Each piece inside the quiet time of the one before, all of them well past it.
    QTest::newRow("reply in pieces, left open: whole once quiet")
        << serve(Action::Reply, {"Al", "e*M", "ea", "d*St", "out"}, spacingMs, true) << listLimitMs << true
        << QStringList{"Ale", "Mead", "Stout"} << -1;
    QTest::newRow("refused") << serve(Action::Refuse) << listLimitMs << false << QStringList() << connection;
    QTest::newRow("reset") << serve(Action::Reset) << listLimitMs << false << QStringList()
                           << (resets ? connection : -1);
    // The reset comes while the quiet time still runs: the part is dropped.
    QTest::newRow("reply cut off by a reset")
        << serve(Action::Reset, {"Ale*Me"}, 20) << listLimitMs << !resets
        << (resets ? QStringList() : QStringList{"Ale", "Me"}) << (resets ? connection : -1);
    QTest::newRow("closed without a reply") << serve(Action::Close) << listLimitMs << false << QStringList() << -1;
    // The bytes are gathered before they are read as UTF-8.
    QTest::newRow("a letter split between pieces")
        << serve(Action::Reply, {"Caf\xc3", "\xa9*Bi\xc3\xa8re #2"}, 20) << listLimitMs << true
        << QStringList{QStringLiteral("Caf\u00e9"), QStringLiteral("Bi\u00e8re #2")} << -1;
    // A server that never falls quiet, and one that never stops.
    QTest::newRow("trickle without end")
        << serve(Action::Reply, QList<QByteArray>(150, "a"), spacingMs, true) << listLimitMs << false
        << QStringList() << int(ExchangeFailure::TimedOut);
    // One byte past the cap, then the close: however the bytes are split into
    // reads, the byte past the cap comes in the last one, so a cap checked
    // before a read is added lets the reply through.
    const QByteArray eightMegabytes(8 * 1024 * 1024, 'a');
    QList<QByteArray> pastTheCap(ListExchange::replyCapBytes / eightMegabytes.size(), eightMegabytes);
    pastTheCap.append("a");
    // fault: a reply exactly at the cap is refused
    QTest::newRow("reply exactly at the cap, then close")
        << serve(Action::Reply, pastTheCap.first(pastTheCap.size() - 1), 20) << 30000 << true
        << QStringList{QString(ListExchange::replyCapBytes, u'a')} << -1;
    QTest::newRow("reply one byte past the cap, then close")
        << serve(Action::Reply, pastTheCap, 20) << 30000 << false << QStringList()
        << int(ExchangeFailure::Oversized);
}

void ExchangesTest::listEndings()
{
    QFETCH(FakeServer::Behaviour, behaviour);
    QFETCH(int, limit);
    QFETCH(bool, finishes);
    QFETCH(QStringList, names);
    QFETCH(int, failure);

    FakeServer server;
    server.script(FakeServer::List, behaviour);
    ListExchange exchange;
    exchange.setQuietMs(quietMs);
    exchange.setLimitMs(limit);
    QSignalSpy finished(&exchange, &ListExchange::finished);
    QSignalSpy failed(&exchange, &ListExchange::failed);
    exchange.start(server.endpoint().host, server.endpoint().listPort);

    QTRY_VERIFY_WITH_TIMEOUT(hasEnded(exchange), 40000);
    QCOMPARE(finished.size(), finishes ? 1 : 0);
    if (finishes)
        QCOMPARE(finished.first().first().toStringList(), names);
    QCOMPARE(failed.size(), failure >= 0 ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (behaviour.action != Action::Refuse)
        QTRY_COMPARE(server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
}

void ExchangesTest::createEndings_data()
{
    QTest::addColumn<FakeServer::Behaviour>("behaviour");
    QTest::addColumn<QString>("ending"); // created, exists, limited or failed
    QTest::addColumn<int>("failure");

    const int none = -1;
    QTest::newRow("CREATED") << serve(Action::Reply, {"CREATED"}) << "created" << none;
    QTest::newRow("EXISTS, left open") << serve(Action::Reply, {"EXISTS"}, 0, true) << "exists" << none;
    QTest::newRow("EXISTS in pieces") << serve(Action::Reply, {"EX", "IS", "TS"}, 20, true) << "exists" << none;
    QTest::newRow("refused") << serve(Action::Refuse) << "failed" << int(ExchangeFailure::ConnectionError);
    QTest::newRow("reset") << serve(Action::Reset) << "failed"
                           << int(Socket::tellsResetFromClose() ? ExchangeFailure::ConnectionError
                                                                 : ExchangeFailure::ClosedEarly);
    QTest::newRow("closed without a reply") << serve(Action::Close) << "failed"
                                            << int(ExchangeFailure::ClosedEarly);
    QTest::newRow("LIMITED in pieces, left open")
        << serve(Action::Reply, {"LIM", "ITED"}, 20, true) << "limited" << none;
    QTest::newRow("CRE + ATED") << serve(Action::Reply, {"CRE", "ATED"}, 20, true) << "created" << none;
    // The server keeps the connection open: only seeing that the reply can no
    // longer be a known one ends the request before the limit.
    const int unrecognised = int(ExchangeFailure::Unrecognised);
    QTest::newRow("lower case") << serve(Action::Reply, {"created"}, 0, true) << "failed" << unrecognised;
    QTest::newRow("line break after") << serve(Action::Reply, {"CREATED\r\n"}, 0, true) << "failed"
                                      << unrecognised;
    QTest::newRow("more after EXISTS") << serve(Action::Reply, {"EXISTS!"}, 0, true) << "failed" << unrecognised;
    QTest::newRow("something else") << serve(Action::Reply, {"OK"}, 0, true) << "failed" << unrecognised;
    QTest::newRow("goes wrong in a later piece") << serve(Action::Reply, {"CRE", "ATE!"}, 20, true) << "failed"
                                                 << unrecognised;
    QTest::newRow("silence") << serve(Action::Silent) << "failed" << int(ExchangeFailure::TimedOut);
}

void ExchangesTest::createEndings()
{
    QFETCH(FakeServer::Behaviour, behaviour);
    QFETCH(QString, ending);
    QFETCH(int, failure);

    FakeServer server;
    server.script(FakeServer::Create, behaviour);
    CreateExchange exchange;
    exchange.setLimitMs(limitMs);
    QSignalSpy created(&exchange, &CreateExchange::created);
    QSignalSpy exists(&exchange, &CreateExchange::exists);
    QSignalSpy limited(&exchange, &CreateExchange::limited);
    QSignalSpy failed(&exchange, &CreateExchange::failed);
    exchange.start(server.endpoint().host, server.endpoint().createPort, QStringLiteral("Brewers \u00c6"));

    QTRY_VERIFY_WITH_TIMEOUT(hasEnded(exchange), 10000);
    QCOMPARE(created.size(), ending == u"created" ? 1 : 0);
    QCOMPARE(exists.size(), ending == u"exists" ? 1 : 0);
    QCOMPARE(limited.size(), ending == u"limited" ? 1 : 0);
    QCOMPARE(failed.size(), ending == u"failed" ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (behaviour.action != Action::Refuse)
        QTRY_COMPARE(server.requests(FakeServer::Create), QList<QByteArray>{"Brewers \xc3\x86"});
}

void ExchangesTest::postEndings_data()
{
    QTest::addColumn<QString>("server"); // how the post port behaves
    QTest::addColumn<bool>("sends");     // send() once connected, else cancel()
    QTest::addColumn<QString>("ending"); // sent, failed or none
    QTest::addColumn<int>("failure");

    const int connection = int(ExchangeFailure::ConnectionError);
    const bool resets = Socket::tellsResetFromClose();
    // Only the server's close after reading the end is its word that it has the post.
    QTest::newRow("sent: read to the end, closed a while later") << "closes after the end" << true << "sent" << -1;
    QTest::newRow("sent: an answer is no harm") << "answers, closes after the end" << true << "sent" << -1;
    QTest::newRow("read to the end, never closed") << "reads" << true << "failed" << int(ExchangeFailure::TimedOut);
    // Where a reset cannot be told from a close, it passes for one.
    QTest::newRow("reset after reading the end")
        << "resets after the end" << true << (resets ? "failed" : "sent") << (resets ? connection : -1);
    QTest::newRow("cancelled once connected") << "reads" << false << "none" << -1;
    QTest::newRow("refused") << "refuses" << true << "failed" << connection;
    QTest::newRow("reset before the request")
        << "resets" << true << "failed" << int(resets ? ExchangeFailure::ConnectionError : ExchangeFailure::ClosedEarly);
    QTest::newRow("closed before the request") << "closes" << true << "failed" << int(ExchangeFailure::ClosedEarly);
    QTest::newRow("never connects") << "stalls" << true << "failed" << int(ExchangeFailure::TimedOut);
}

void ExchangesTest::postEndings()
{
    QFETCH(QString, server);
    QFETCH(bool, sends);
    QFETCH(QString, ending);
    QFETCH(int, failure);

    FakeServer fake;
    fake.script(FakeServer::Post, postServer(server));
    RawPort raw(1);
    quint16 port = fake.endpoint().postPort;
    const bool rawPeer = server == u"resets" || server == u"closes" || server == u"stalls";
    if (rawPeer)
        port = raw.port();
    if (server == u"stalls")
        QVERIFY(raw.stall(2));

    const QString request = QStringLiteral("Ale*<b>T</b>*body \u00e9");
    PostExchange exchange;
    exchange.setLimitMs(limitMs);
    QSignalSpy sent(&exchange, &PostExchange::sent);
    QSignalSpy failed(&exchange, &PostExchange::failed);
    bool peerDone = false;
    connect(&exchange, &PostExchange::connected, this, [&] {
        if (server == u"resets")
            peerDone = raw.acceptAndReset(); // the request has not left yet
        else if (server == u"closes")
            peerDone = raw.acceptAndClose(); // and never will: the close comes first
        else if (sends)
            exchange.send(request);
        else
            exchange.cancel();
    });
    exchange.start(QStringLiteral("127.0.0.1"), port);

    QTRY_VERIFY_WITH_TIMEOUT(hasEnded(exchange), 10000);
    QCOMPARE(sent.size(), ending == u"sent" ? 1 : 0);
    QCOMPARE(failed.size(), ending == u"failed" ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (server == u"resets" || server == u"closes")
        QVERIFY(peerDone);
    if (!rawPeer && server != u"refuses") {
        QTRY_COMPARE(fake.requests(FakeServer::Post), QList<QByteArray>{sends ? request.toUtf8() : QByteArray()});
        QTRY_COMPARE(fake.closedCount(FakeServer::Post), 1); // the end, or the close of a cancel, reached it
    }
}

// A program started while an exchange is open (a browser for a link) must not
// inherit the connection: it would keep it open after the client has closed it.
void ExchangesTest::childProcessHoldsNoConnection()
{
    if (!QDir(QStringLiteral("/proc/self/fd")).exists())
        QSKIP("no /proc to list a process's descriptors");
    FakeServer server;
    server.script(FakeServer::List, serve(Action::Reply, {"Ale"}, 0, true));
    ListExchange exchange;
    exchange.setQuietMs(60000);
    QSignalSpy finished(&exchange, &ListExchange::finished);
    exchange.start(server.endpoint().host, server.endpoint().listPort);
    QTRY_COMPARE(server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
    QTRY_COMPARE(exchange.socket().state(), QAbstractSocket::ConnectedState);

    QProcess child;
    child.start(QStringLiteral("ls"), {QStringLiteral("-l"), QStringLiteral("/proc/self/fd/")});
    QVERIFY(child.waitForFinished(10000));
    const QByteArray descriptors = child.readAllStandardOutput();
    QVERIFY2(!descriptors.contains("socket:"), descriptors.constData());
    QCOMPARE(finished.size(), 0); // the exchange was still open all along
}

QTEST_GUILESS_MAIN(ExchangesTest)
#include "tst_exchanges.moc"
