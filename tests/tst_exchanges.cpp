// The three exchanges against the fake server, without any window. Each start
// ends in at most one signal, and once every timer of the exchange could have
// fired nothing more is reported: no second result, no late failure.
#include "fakeserver.h"
#include "protocol/createexchange.h"
#include "protocol/listexchange.h"
#include "protocol/postexchange.h"
#include "rawport.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(FakeServer::Behaviour)
Q_DECLARE_METATYPE(ExchangeFailure)

namespace {

using Action = FakeServer::Behaviour::Action;

constexpr int quietMs = 200;
constexpr int limitMs = 600;
// Past the quiet time and the limit, with slack for a loaded machine.
constexpr int settleMs = limitMs + quietMs + 400;

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
};

void ExchangesTest::listEndings_data()
{
    QTest::addColumn<FakeServer::Behaviour>("behaviour");
    QTest::addColumn<bool>("finishes");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("failure"); // -1: none

    const int connection = int(ExchangeFailure::ConnectionError);
    QTest::newRow("reply, then close") << serve(Action::Reply, {"Ale*Mead*"}) << true
                                       << QStringList{"Ale", "Mead"} << -1;
    QTest::newRow("reply in pieces, left open: whole once quiet")
        << serve(Action::Reply, {"Al", "e*Me", "ad"}, 20, true) << true << QStringList{"Ale", "Mead"} << -1;
    QTest::newRow("refused") << serve(Action::Refuse) << false << QStringList() << connection;
    QTest::newRow("reset") << serve(Action::Reset) << false << QStringList() << connection;
    // The reset comes while the quiet time still runs: the part is dropped.
    QTest::newRow("reply cut off by a reset") << serve(Action::Reset, {"Ale*Me"}, 20) << false << QStringList()
                                              << connection;
    QTest::newRow("closed without a reply") << serve(Action::Close) << false << QStringList() << -1;
    // The bytes are gathered before they are read as UTF-8.
    QTest::newRow("a letter split between pieces")
        << serve(Action::Reply, {"Caf\xc3", "\xa9*Bi\xc3\xa8re #2"}, 20)
        << true << QStringList{QStringLiteral("Caf\u00e9"), QStringLiteral("Bi\u00e8re #2")} << -1;
}

void ExchangesTest::listEndings()
{
    QFETCH(FakeServer::Behaviour, behaviour);
    QFETCH(bool, finishes);
    QFETCH(QStringList, names);
    QFETCH(int, failure);

    FakeServer server;
    server.script(FakeServer::List, behaviour);
    ListExchange exchange;
    exchange.setQuietMs(quietMs);
    QSignalSpy finished(&exchange, &ListExchange::finished);
    QSignalSpy failed(&exchange, &ListExchange::failed);
    exchange.start(server.endpoint().host, server.endpoint().listPort);

    if (finishes || failure >= 0)
        QTRY_COMPARE_WITH_TIMEOUT(finished.size() + failed.size(), 1, 5000);
    else if (behaviour.action != Action::Refuse)
        QTRY_COMPARE_WITH_TIMEOUT(server.closedCount(FakeServer::List), 1, 5000);
    QTest::qWait(settleMs);
    QCOMPARE(finished.size(), finishes ? 1 : 0);
    if (finishes)
        QCOMPARE(finished.first().first().toStringList(), names);
    QCOMPARE(failed.size(), failure >= 0 ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (behaviour.action != Action::Refuse)
        QCOMPARE(server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
    QCOMPARE(exchange.socket().state(), int(Socket::Closed));
}

void ExchangesTest::createEndings_data()
{
    QTest::addColumn<FakeServer::Behaviour>("behaviour");
    QTest::addColumn<QString>("ending"); // created, exists or failed
    QTest::addColumn<int>("failure");

    const int none = -1;
    QTest::newRow("CREATED") << serve(Action::Reply, {"CREATED"}) << "created" << none;
    QTest::newRow("EXISTS, left open") << serve(Action::Reply, {"EXISTS"}, 0, true) << "exists" << none;
    QTest::newRow("EXISTS in pieces") << serve(Action::Reply, {"EX", "IS", "TS"}, 20, true) << "exists" << none;
    QTest::newRow("refused") << serve(Action::Refuse) << "failed" << int(ExchangeFailure::ConnectionError);
    QTest::newRow("reset") << serve(Action::Reset) << "failed" << int(ExchangeFailure::ConnectionError);
    QTest::newRow("closed without a reply") << serve(Action::Close) << "failed"
                                            << int(ExchangeFailure::ClosedEarly);
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
    QSignalSpy failed(&exchange, &CreateExchange::failed);
    exchange.start(server.endpoint().host, server.endpoint().createPort, QStringLiteral("Brewers \u00c6"));

    QTRY_COMPARE_WITH_TIMEOUT(created.size() + exists.size() + failed.size(), 1, 5000);
    QTest::qWait(settleMs);
    QCOMPARE(created.size(), ending == u"created" ? 1 : 0);
    QCOMPARE(exists.size(), ending == u"exists" ? 1 : 0);
    QCOMPARE(failed.size(), ending == u"failed" ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (behaviour.action != Action::Refuse)
        QCOMPARE(server.requests(FakeServer::Create), QList<QByteArray>{"Brewers \xc3\x86"});
    QCOMPARE(exchange.socket().state(), int(Socket::Closed));
}

void ExchangesTest::postEndings_data()
{
    QTest::addColumn<QString>("server"); // how the post port behaves
    QTest::addColumn<bool>("sends");     // send() once connected, else cancel()
    QTest::addColumn<QString>("ending"); // sent, failed or none
    QTest::addColumn<int>("failure");

    QTest::newRow("sent") << "reads" << true << "sent" << -1;
    QTest::newRow("cancelled once connected") << "reads" << false << "none" << -1;
    QTest::newRow("refused") << "refuses" << true << "failed" << int(ExchangeFailure::ConnectionError);
    QTest::newRow("reset before the request") << "resets" << true << "failed"
                                              << int(ExchangeFailure::ConnectionError);
    QTest::newRow("never connects") << "stalls" << true << "failed" << int(ExchangeFailure::TimedOut);
}

void ExchangesTest::postEndings()
{
    QFETCH(QString, server);
    QFETCH(bool, sends);
    QFETCH(QString, ending);
    QFETCH(int, failure);

    FakeServer fake;
    fake.script(FakeServer::Post, server == u"refuses" ? serve(Action::Refuse) : serve(Action::Silent));
    RawPort raw(1);
    quint16 port = fake.endpoint().postPort;
    if (server == u"resets" || server == u"stalls")
        port = raw.port();
    if (server == u"stalls")
        QVERIFY(raw.stall(2));

    const QString request = QStringLiteral("Ale*<b>T</b>*body \u00e9");
    PostExchange exchange;
    exchange.setLimitMs(limitMs);
    QSignalSpy sent(&exchange, &PostExchange::sent);
    QSignalSpy failed(&exchange, &PostExchange::failed);
    bool resetDone = false;
    connect(&exchange, &PostExchange::connected, this, [&] {
        if (server == u"resets")
            resetDone = raw.acceptAndReset(); // the request has not left yet
        else if (sends)
            exchange.send(request);
        else
            exchange.cancel();
    });
    exchange.start(QStringLiteral("127.0.0.1"), port);

    if (ending == u"none")
        QTRY_COMPARE_WITH_TIMEOUT(fake.closedCount(FakeServer::Post), 1, 5000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(sent.size() + failed.size(), 1, 5000);
    QTest::qWait(settleMs);
    QCOMPARE(sent.size(), ending == u"sent" ? 1 : 0);
    QCOMPARE(failed.size(), ending == u"failed" ? 1 : 0);
    QCOMPARE(failureKind(failed), failure);
    if (server == u"resets")
        QVERIFY(resetDone);
    if (server == u"reads")
        QTRY_COMPARE(fake.requests(FakeServer::Post), QList<QByteArray>{sends ? request.toUtf8() : QByteArray()});
    QCOMPARE(exchange.socket().state(), int(Socket::Closed));
}

QTEST_GUILESS_MAIN(ExchangesTest)
#include "tst_exchanges.moc"
