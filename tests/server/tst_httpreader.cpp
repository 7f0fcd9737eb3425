// The page and metrics ports' HTTP request reader, on raw bytes: what it
// serves, what it waits for, and the shapes that could hide a second request.

#include "server/http/httpdate.h"
#include "server/http/requestreader.h"

#include <QTest>
#include <ctime>

namespace {

// One line per request read from the front of `input`, each body skipped,
// until the reader wants more ("more") or refuses (its status).
QByteArrayList readAll(QByteArray input)
{
    QByteArrayList seen;
    while (seen.size() < 8) {
        const http::ReadResult read = http::readRequest(input);
        if (read.consumed < 0 || read.consumed > input.size())
            return seen << "consumed out of bounds";
        if (read.kind == http::ReadResult::Kind::NeedMore)
            return seen << "more";
        if (read.kind == http::ReadResult::Kind::Refuse)
            return seen << QByteArray::number(read.status);
        const http::RequestHead &head = read.head;
        QByteArray line = head.method.toByteArray() + ' ' + head.target.toByteArray() + " 1."
            + QByteArray::number(head.minorVersion);
        if (head.contentLength)
            line += " +" + QByteArray::number(head.contentLength);
        if (head.connectionClose)
            line += " close";
        if (head.connectionKeepAlive)
            line += " keep-alive";
        if (head.transferEncoding)
            line += " transfer-encoding";
        if (!head.acceptEncoding.copy().isEmpty())
            line += " accept=" + head.acceptEncoding.copy();
        if (!head.ifNoneMatch.copy().isEmpty())
            line += " tags=" + head.ifNoneMatch.copy();
        if (head.acceptEncoding.borrow() != head.acceptEncoding.copy())
            line += " borrowed list differs";
        seen << line;
        input.remove(0, read.consumed + qMin(head.contentLength, qint64(input.size())));
    }
    return seen;
}

QByteArray get(const QByteArray &headers, const QByteArray &version = "HTTP/1.1")
{
    return "GET /x " + version + "\r\n" + headers + "\r\n";
}

} // namespace

class TestHttpReader : public QObject
{
    Q_OBJECT
private slots:
    void readsRequests_data();
    void readsRequests();
    void imfFixdate_data();
    void imfFixdate();
    void dateLineFollowsTheClock();
};

void TestHttpReader::readsRequests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("seen");
    const QByteArrayList served{"GET /x 1.1", "more"};
    const QByteArrayList refused{"400"};

    // Served.
    QTest::newRow("HTTP/1.1 with Host") << get("Host: x\r\n") << served;
    QTest::newRow("HTTP/1.1 with an empty Host") << get("Host:\r\n") << served;
    QTest::newRow("HTTP/1.0 without Host")
        << get("", "HTTP/1.0") << QByteArrayList{"GET /x 1.0", "more"};
    QTest::newRow("HTTP/1.2 served as 1.1") << get("Host: x\r\n", "HTTP/1.2") << served;
    QTest::newRow("LF-only lines") << QByteArray("GET /x HTTP/1.1\nHost: x\n\n") << served;
    QTest::newRow("LF CR LF end") << QByteArray("GET /x HTTP/1.1\r\nHost: x\n\r\n") << served;
    QTest::newRow("CR LF LF end") << QByteArray("GET /x HTTP/1.1\r\nHost: x\r\n\n") << served;
    QTest::newRow("blank lines before") << "\r\n\n" + get("Host: x\r\n") << served;
    QTest::newRow("the same length twice")
        << get("Host: x\r\nContent-Length: 5\r\ncontent-length:5\r\n") + "hello"
        << QByteArrayList{"GET /x 1.1 +5", "more"};
    QTest::newRow("a length between spaces and tabs")
        << get("Host: x\r\nContent-Length:\t 5 \t\r\n") + "hello"
        << QByteArrayList{"GET /x 1.1 +5", "more"};
    QTest::newRow("pipelined after a body") // the body looks like a request line
        << "POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nGET /" + get("Host: x\r\n")
        << QByteArrayList{"POST /a 1.1 +5", "GET /x 1.1", "more"};
    QTest::newRow("connection options, any case")
        << get("Host: x\r\nConnection: foo, Keep-Alive\r\nCONNECTION: Close\r\n")
        << QByteArrayList{"GET /x 1.1 close keep-alive", "more"};
    QTest::newRow("transfer coding") << get("Host: x\r\nTransfer-Encoding: chunked\r\n")
                                     << QByteArrayList{"GET /x 1.1 transfer-encoding", "more"};
    QTest::newRow("repeated lists join")
        << get("Host: x\r\nAccept-Encoding: gzip\r\nIf-None-Match: \"a\"\r\n"
               "accept-encoding: br\r\nIf-None-Match: \"b\"\r\n")
        << QByteArrayList{"GET /x 1.1 accept=gzip,br tags=\"a\",\"b\"", "more"};
    QTest::newRow("head not yet whole") << QByteArray("GET /x HTTP/1.1\r\nHost: x\r\n\r")
                                        << QByteArrayList{"more"};
    QTest::newRow("a target at its bound")
        << "GET /" + QByteArray(8191, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"
        << QByteArrayList{"GET /" + QByteArray(8191, 'a') + " 1.1", "more"};
    QTest::newRow("headers near their bound")
        << get("Host: x\r\nX: " + QByteArray(16000, 'a') + "\r\n") << served;

    // Refused: shapes two readers could split into requests differently.
    QTest::newRow("space before a colon")
        << get("Host: x\r\nContent-Length : 5\r\n") + "hello" << refused;
    QTest::newRow("tab before a colon") << get("Host: x\r\nContent-Length\t: 5\r\n") << refused;
    QTest::newRow("signed length") << get("Host: x\r\nContent-Length:\t+5\r\n") + "hello"
                                   << refused;
    QTest::newRow("length with letters") << get("Host: x\r\nContent-Length:  5x\r\n") << refused;
    QTest::newRow("empty length") << get("Host: x\r\nContent-Length:\r\n") << refused;
    QTest::newRow("length as a list") << get("Host: x\r\nContent-Length: 5, 5\r\n") << refused;
    QTest::newRow("two different lengths")
        << get("Host: x\r\nContent-Length: 5\r\nContent-Length: 50\r\n") + "hello" << refused;
    QTest::newRow("folded line") << get("Host: x\r\nX: a\r\n b\r\n") << refused;
    QTest::newRow("folded with a tab") << get("Host: x\r\nX: a\r\n\tb\r\n") << refused;
    QTest::newRow("whitespace before the first header") << get(" Host: x\r\n") << refused;
    QTest::newRow("two Host") << get("Host: x\r\nHost: y\r\n") << refused;
    QTest::newRow("two Host on HTTP/1.0") << get("Host: x\r\nhost: x\r\n", "HTTP/1.0")
                                          << refused;
    QTest::newRow("no Host on HTTP/1.1") << get("X: y\r\n") << refused;
    QTest::newRow("no Host on HTTP/1.2") << get("", "HTTP/1.2") << refused;
    QTest::newRow("bare CR in a header") << get("Host: x\r\nX: a\rContent-Length: 5\r\n")
                                         << refused;
    QTest::newRow("NUL in a header") << get(QByteArray("Host: x\r\nX: a\0b\r\n", 17))
                                     << refused;
    QTest::newRow("header without a colon") << get("Host: x\r\nContent-Length 5\r\n") << refused;
    QTest::newRow("header name not a token") << get("Host: x\r\nX(y): 1\r\n") << refused;
    QTest::newRow("HTTP/2.0") << get("Host: x\r\n", "HTTP/2.0") << refused;
    QTest::newRow("lower-case version") << get("Host: x\r\n", "http/1.1") << refused;
    QTest::newRow("two spaces in the request line")
        << QByteArray("GET  /x HTTP/1.1\r\nHost: x\r\n\r\n") << refused;
    QTest::newRow("tab in the target") << QByteArray("GET /x\ty HTTP/1.1\r\nHost: x\r\n\r\n")
                                       << refused;
    QTest::newRow("a target over its bound")
        << "GET /" + QByteArray(8192, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"
        << QByteArrayList{"414"};
    QTest::newRow("a target over its bound, still arriving")
        << "GET /" + QByteArray(9000, 'a') << QByteArrayList{"414"};
    QTest::newRow("headers over their bound")
        << get("Host: x\r\nX: " + QByteArray(16400, 'a') + "\r\n") << QByteArrayList{"431"};
    QTest::newRow("headers over their bound, still arriving")
        << "GET /x HTTP/1.1\r\nX: " + QByteArray(16400, 'a') << QByteArrayList{"431"};
    QTest::newRow("a good request, then a bad one")
        << get("Host: x\r\n") + get("Host: x\r\nContent-Length: -1\r\n")
        << QByteArrayList{"GET /x 1.1", "400"};
}

void TestHttpReader::readsRequests()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArrayList, seen);
    QCOMPARE(readAll(input), seen);
}

void TestHttpReader::imfFixdate_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QByteArray>("date");
    QTest::newRow("the standard's example") << qint64(784111777)
                                            << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT");
    QTest::newRow("the epoch") << qint64(0) << QByteArray("Thu, 01 Jan 1970 00:00:00 GMT");
    QTest::newRow("a leap day's last second")
        << qint64(1709251199) << QByteArray("Thu, 29 Feb 2024 23:59:59 GMT");
}

void TestHttpReader::imfFixdate()
{
    QFETCH(qint64, seconds);
    QFETCH(QByteArray, date);
    QCOMPARE(http::imfFixdate(seconds), date);
}

// Made again once the second has changed, never left behind.
void TestHttpReader::dateLineFollowsTheClock()
{
    const auto dateLineIsNow = [] {
        const qint64 before = std::time(nullptr);
        const QByteArray line = http::dateLine();
        const qint64 after = std::time(nullptr);
        return line == "Date: " + http::imfFixdate(before) + "\r\n"
            || line == "Date: " + http::imfFixdate(after) + "\r\n";
    };
    QVERIFY(dateLineIsNow());
    const QByteArray first = http::dateLine();
    QTRY_VERIFY_WITH_TIMEOUT(http::dateLine() != first, 5000);
    QVERIFY(dateLineIsNow());
}

QTEST_GUILESS_MAIN(TestHttpReader)
#include "tst_httpreader.moc"
