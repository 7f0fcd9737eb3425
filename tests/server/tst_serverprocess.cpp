// The tavernly-server program itself: command line, ready line, and what a
// killed server keeps.

#include "waits.h"
#include "wireclient.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Ports
{
    quint16 list = 0, create = 0, post = 0, http = 0;
};

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT
private slots:
    void helpNamesEveryOption();
    void badArgumentsAreRefused_data();
    void badArgumentsAreRefused();
    void killedServerKeepsWhatItAnswered();
    void terminateEndsCleanly();

private:
    bool start(QProcess &process, const QString &dataDir, Ports *ports);
    QByteArray exchange(quint16 port, const QByteArray &request,
                        WireClient::After after = WireClient::After::WaitForReply);
};

bool TestServerProcess::start(QProcess &process, const QString &dataDir, Ports *ports)
{
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY),
                  {"--data", dataDir, "--list-port", "0", "--create-port", "0", "--post-port",
                   "0", "--http-port", "0"});
    static const QRegularExpression ready(
        QStringLiteral("^listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)\n"));
    QByteArray out;
    QRegularExpressionMatch match;
    const bool started = waitUntil([&] {
        out += process.readAllStandardOutput();
        match = ready.match(QString::fromUtf8(out));
        return match.hasMatch() || process.state() == QProcess::NotRunning;
    }, 10000);
    if (!started || !match.hasMatch()) {
        qWarning("no ready line: %s %s", out.constData(), process.readAllStandardError().data());
        return false;
    }
    *ports = {quint16(match.captured(1).toUInt()), quint16(match.captured(2).toUInt()),
              quint16(match.captured(3).toUInt()), quint16(match.captured(4).toUInt())};
    return ports->list && ports->create && ports->post && ports->http;
}

QByteArray TestServerProcess::exchange(quint16 port, const QByteArray &request,
                                       WireClient::After after)
{
    WireClient client(port);
    client.send(request, after);
    const bool done = waitUntil([&] {
        return after == WireClient::After::WaitForReply ? client.closedByServer()
                                                        : client.sent() && !client.isOpen();
    });
    return done ? client.reply() : QByteArray("<no end>");
}

void TestServerProcess::helpNamesEveryOption()
{
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), {"--help"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const char *option : {"--listen", "--data", "--database", "--list-port",
                               "--create-port", "--post-port", "--http-port"})
        QVERIFY2(help.contains(option), option);
}

void TestServerProcess::badArgumentsAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port too large") << QStringList{"--list-port", "70000"};
    QTest::newRow("port not a number") << QStringList{"--http-port", "web"};
    QTest::newRow("address not an address") << QStringList{"--listen", "localhost:1"};
    QTest::newRow("database of another kind") << QStringList{"--database", "mysql://u@h/forums"};
    QTest::newRow("database file not named") << QStringList{"--database", "sqlite:"};
    QTest::newRow("database not named") << QStringList{"--database", "postgresql://u@127.0.0.1/"};
    // Nothing listens on port 1: the server must not start without its database.
    QTest::newRow("database not answering")
        << QStringList{"--database", "postgresql://u@127.0.0.1:1/forums"};
}

void TestServerProcess::badArgumentsAreRefused()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    process.start(QStringLiteral(TAVERNLY_SERVER_BINARY), arguments << "--data" << dir.path());
    QVERIFY(process.waitForFinished(10000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardOutput().contains("listening"));
}

void TestServerProcess::killedServerKeepsWhatItAnswered()
{
    QTemporaryDir dir;
    QProcess first;
    Ports ports;
    QVERIFY(start(first, dir.path(), &ports));
    QCOMPARE(exchange(ports.create, "Kept"), QByteArray("CREATED"));
    exchange(ports.post, "Kept*<b>Posted</b>*before the kill", WireClient::After::CloseWhenSent);
    QByteArray log;
    WAIT_VERIFY((log += first.readAllStandardError()).contains("stored"));
    first.kill();
    QVERIFY(first.waitForFinished(10000));

    QProcess second;
    QVERIFY(start(second, dir.path(), &ports));
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome*Kept"));
    WireClient http(ports.http);
    http.send("GET /tav/Kept.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    WAIT_VERIFY(http.reply().contains("</html>"));
    QVERIFY(http.reply().contains("before the kill"));
    second.terminate();
    QVERIFY(second.waitForFinished(10000));
}

void TestServerProcess::terminateEndsCleanly()
{
    QTemporaryDir dir;
    QProcess process;
    Ports ports;
    QVERIFY(start(process, dir.path(), &ports));
    QCOMPARE(exchange(ports.list, "GETLIST"), QByteArray("Welcome"));
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
