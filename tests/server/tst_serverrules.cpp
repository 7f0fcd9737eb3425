// The request rules and page addresses of the forum server, without sockets.

#include "server/store/databaseurl.h"
#include "server/pages/pages.h"
#include "server/base/logsink.h"
#include "server/net/addresslimit.h"
#include "server/net/proxyheader.h"
#include "server/wire/requestrules.h"
#include "tests/namecharacterrows.h"
#include "ui/previewpage.h"

#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace requestrules;

class TestServerRules : public QObject
{
    Q_OBJECT
private slots:
    void listRequest_data();
    void listRequest();
    void forumName_data();
    void forumName();
    void nameCharacters_data();
    void nameCharacters();
    void postSplit_data();
    void postSplit();
    void forumPath_data();
    void forumPath();
    void previewShowsAMessageAsItsPageDoes();
    void printableLogText();
    void databasePasswordFile_data();
    void databasePasswordFile();
    void proxyHeader_data();
    void proxyHeader();
    void addressLimit_data();
    void addressLimit();
};

namespace {

// A version 2 header: signature, version and command, family, length, the rest.
QByteArray v2(uchar versionCommand, uchar family, const QByteArray &rest)
{
    return QByteArray("\r\n\r\n\0\r\nQUIT\n", 12) + char(versionCommand) + char(family)
        + char(rest.size() >> 8) + char(rest.size() & 0xff) + rest;
}

// Source 10.0.0.6:4660, destination 127.0.0.1:8476.
const QByteArray tcp4 = QByteArray("\x0a\x00\x00\x06\x7f\x00\x00\x01\x12\x34\x21\x1c", 12);

} // namespace

Q_DECLARE_METATYPE(proxyheader::Result::Kind)

void TestServerRules::listRequest_data()
{
    QTest::addColumn<QByteArray>("gathered");
    QTest::addColumn<ListRequest>("expected");
    QTest::newRow("nothing yet") << QByteArray() << ListRequest::Incomplete;
    QTest::newRow("first pieces") << QByteArray("GETL") << ListRequest::Incomplete;
    QTest::newRow("whole") << QByteArray("GETLIST") << ListRequest::Complete;
    QTest::newRow("line break after it") << QByteArray("GETLIST\r\n") << ListRequest::Complete;
    QTest::newRow("lower case") << QByteArray("getlist") << ListRequest::Invalid;
    QTest::newRow("wrong start") << QByteArray("GET /") << ListRequest::Invalid;
    QTest::newRow("leading space") << QByteArray(" GETLIST") << ListRequest::Invalid;
}

void TestServerRules::listRequest()
{
    QFETCH(QByteArray, gathered);
    QFETCH(ListRequest, expected);
    QCOMPARE(classifyListRequest(gathered), expected);
}

void TestServerRules::forumName_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<NameCheck>("expected");
    QTest::newRow("plain") << QByteArray("Cooking") << NameCheck::Ok;
    QTest::newRow("spaces only") << QByteArray("   ") << NameCheck::Ok;
    QTest::newRow("dots") << QByteArray("..") << NameCheck::Ok;
    QTest::newRow("percent") << QByteArray("a%2fb") << NameCheck::Ok;
    QTest::newRow("40 ascii") << QByteArray(40, 'x') << NameCheck::Ok;
    QTest::newRow("40 accented, 80 bytes") << QString(40, u'é').toUtf8() << NameCheck::Ok;
    QTest::newRow("empty") << QByteArray() << NameCheck::Empty;
    QTest::newRow("41 ascii") << QByteArray(41, 'x') << NameCheck::TooLong;
    QTest::newRow("41 accented") << QString(41, u'é').toUtf8() << NameCheck::TooLong;
    for (const char c : QByteArrayView(forbiddenNameCharacters)) {
        const QByteArray name = QByteArray("a") + c + "b";
        QTest::addRow("forbidden %c", c) << name << NameCheck::ForbiddenCharacter;
    }
    QTest::newRow("path") << QByteArray("../x") << NameCheck::ForbiddenCharacter;
    QTest::newRow("tab") << QByteArray("a\tb") << NameCheck::ControlCharacter;
    QTest::newRow("line break") << QByteArray("name\r\n") << NameCheck::ControlCharacter;
    QTest::newRow("nul") << QByteArray("a\0b", 3) << NameCheck::ControlCharacter;
    QTest::newRow("delete") << QByteArray("a\x7f") << NameCheck::ControlCharacter;
    QTest::newRow("C1 next line") << QByteArray("a\xc2\x85") << NameCheck::ControlCharacter;
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9") << NameCheck::NotUtf8;
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << NameCheck::NotUtf8;
}

void TestServerRules::forumName()
{
    QFETCH(QByteArray, raw);
    QFETCH(NameCheck, expected);
    QString name;
    QCOMPARE(checkNewForumName(raw, &name), expected);
    if (expected == NameCheck::Ok)
        QCOMPARE(name.toUtf8(), raw);
}

// The client's table: what it sends, the server takes; what it refuses, the server refuses too.
void TestServerRules::nameCharacters_data()
{
    addNameCharacterRows();
}

void TestServerRules::nameCharacters()
{
    QFETCH(QString, name);
    QFETCH(NameCharacters, characters);
    const NameCheck expected = characters == NameCharacters::Ok        ? NameCheck::Ok
                               : characters == NameCharacters::Control ? NameCheck::ControlCharacter
                                                                       : NameCheck::FormatCharacter;
    QCOMPARE(checkNewForumName(name.toUtf8()), expected);
}

void TestServerRules::postSplit_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("forum");
    QTest::addColumn<QByteArray>("title");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("usual") << QByteArray("F*<b>T</b>*line<br>\r\nline") << true << QByteArray("F")
                           << QByteArray("<b>T</b>") << QByteArray("line<br>\r\nline");
    QTest::newRow("body keeps stars") << QByteArray("F*T*a*b*") << true << QByteArray("F")
                                      << QByteArray("T") << QByteArray("a*b*");
    QTest::newRow("empty fields") << QByteArray("**") << true << QByteArray() << QByteArray()
                                  << QByteArray();
    QTest::newRow("one star") << QByteArray("F*T") << false << QByteArray() << QByteArray()
                              << QByteArray();
    QTest::newRow("none") << QByteArray("hello") << false << QByteArray() << QByteArray()
                          << QByteArray();
}

void TestServerRules::postSplit()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, valid);
    const auto fields = splitPost(request);
    QCOMPARE(fields.has_value(), valid);
    if (!valid)
        return;
    QTEST(fields->forum, "forum");
    QTEST(fields->title, "title");
    QTEST(fields->body, "body");
}

void TestServerRules::forumPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("link");
    QTest::newRow("plain") << "Welcome" << "/tav/Welcome.htm";
    QTest::newRow("space and ampersand") << "Tom & Jerry" << "/tav/Tom%20%26%20Jerry.htm";
    QTest::newRow("dots") << ".." << "/tav/...htm";
    QTest::newRow("percent") << "a%2fb" << "/tav/a%252fb.htm";
    QTest::newRow("hash") << "#1" << "/tav/%231.htm";
    QTest::newRow("accented") << QStringLiteral("Café") << "/tav/Caf%C3%A9.htm";
}

void TestServerRules::forumPath()
{
    QFETCH(QString, name);
    QFETCH(QString, link);
    QCOMPARE(pages::forumLink(name), link);
    QCOMPARE(pages::forumLink(name, 3), link + "?page=3");
    QCOMPARE(pages::forumFromPath(link.toUtf8()), std::optional<QString>(name));
}

// What the client's preview shows of a message is what the forum page
// shows of it once posted: the same two bands, byte for byte.
void TestServerRules::previewShowsAMessageAsItsPageDoes()
{
    const PublishedMessage message{"<b>Hello</b> &amp; you", "one<br>two", 7};
    const QByteArray page = pages::forumPage(QStringLiteral("Cellar"), {message}, 1, 1);
    const QByteArray preview = previewPage(message.titleHtml, message.bodyHtml).toUtf8();
    QVERIFY(preview.startsWith("<table"));
    QVERIFY2(page.contains("<a id=\"m7\"></a>" + preview + '\n'), page.constData());
    QCOMPARE(pages::forumFromPath("/tav/.htm"), std::nullopt);
    QCOMPARE(pages::forumFromPath("/tav/a/b.htm"), std::nullopt);
    QCOMPARE(pages::forumFromPath("/tav/a.html"), std::nullopt);
    QCOMPARE(pages::forumFromPath("/dn.htm"), std::nullopt);
    QCOMPARE(pages::forumFromPath("/tav/%FF.htm"), std::nullopt);
}

void TestServerRules::printableLogText()
{
    QCOMPARE(logtext::printable("evil\r\nname"), QStringLiteral("evil??name"));
    QCOMPARE(logtext::printable(QByteArray(100, 'x'), 10), QString(10, u'x') + "...");
}

void TestServerRules::databasePasswordFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("password"); // null: refused
    const int owner = 0600;
    QTest::newRow("one line") << QByteArray("s3cret\n") << owner << QStringLiteral("s3cret");
    QTest::newRow("no line end") << QByteArray("s3cret") << owner << QStringLiteral("s3cret");
    QTest::newRow("CRLF") << QByteArray("s3cret\r\n") << owner << QStringLiteral("s3cret");
    QTest::newRow("spaces are the password's")
        << QByteArray(" s3 cret \n") << owner << QStringLiteral(" s3 cret ");
    QTest::newRow("longest") << QByteArray(1024, 'p') + "\r\n" << owner << QString(1024, u'p');
    QTest::newRow("longer") << QByteArray(1025, 'p') << owner << QString();
    QTest::newRow("a second line after the longest")
        << QByteArray(1024, 'p') + "\r\nq" << owner << QString();
    QTest::newRow("two lines") << QByteArray("s3cret\nmore\n") << owner << QString();
    QTest::newRow("empty") << QByteArray() << owner << QString();
    QTest::newRow("only a line end") << QByteArray("\n") << owner << QString();
    QTest::newRow("group may read") << QByteArray("s3cret\n") << 0640 << QString();
    QTest::newRow("anyone may read") << QByteArray("s3cret\n") << 0604 << QString();
    QTest::newRow("no such file") << QByteArray() << -1 << QString();
}

void TestServerRules::databasePasswordFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, password);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("database-password"));
    if (mode >= 0) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    }
    QString error;
    const std::optional<QString> read = DatabaseUrl::readPasswordFile(path, &error);
    QCOMPARE(read.value_or(QString()), password);
    // A refusal names the file, so the operator knows which one to mend.
    QCOMPARE(error.startsWith(path + QStringLiteral(": ")), password.isNull());
}

void TestServerRules::proxyHeader_data()
{
    using Kind = proxyheader::Result::Kind;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("address"); // "address:port" when proxied

    const QByteArray line4 = "PROXY TCP4 10.0.0.5 127.0.0.1 40000 8476\r\n";
    QTest::newRow("v1 TCP4, request after it")
        << line4 + "Welcome" << Kind::Proxied << int(line4.size()) << "10.0.0.5:40000";
    const QByteArray line6 = "PROXY TCP6 2001:db8::5 ::1 65535 8476\r\n";
    QTest::newRow("v1 TCP6") << line6 << Kind::Proxied << int(line6.size()) << "2001:db8::5:65535";
    QTest::newRow("v1 UNKNOWN") << QByteArray("PROXY UNKNOWN ff::1 x\r\nGETLIST") << Kind::Local
                                << 23 << "";
    QTest::newRow("v1 first bytes") << QByteArray("PROX") << Kind::NeedMore << 0 << "";
    QTest::newRow("v1 truncated") << line4.left(30) << Kind::NeedMore << 0 << "";
    QTest::newRow("v1 107 bytes, line end last")
        << "PROXY UNKNOWN " + QByteArray(91, 'x') + "\r\n" << Kind::Local << 107 << "";
    QTest::newRow("v1 too long") << "PROXY UNKNOWN " + QByteArray(93, 'x') << Kind::Invalid << 0 << "";
    QTest::newRow("v1 LF alone") << QByteArray("PROXY UNKNOWN\n") << Kind::Invalid << 0 << "";
    // Read without its last byte, such a line would still name a client (port 847).
    QTest::newRow("v1 TCP4 ended by LF alone") << line4.chopped(2) + "\nWelcome" << Kind::Invalid
                                               << 0 << "";
    QTest::newRow("v1 IPv6 address as TCP4")
        << QByteArray("PROXY TCP4 ::1 ::1 1 2\r\n") << Kind::Invalid << 0 << "";
    QTest::newRow("v1 port too large")
        << QByteArray("PROXY TCP4 10.0.0.5 127.0.0.1 70000 1\r\n") << Kind::Invalid << 0 << "";
    QTest::newRow("v1 field missing")
        << QByteArray("PROXY TCP4 10.0.0.5 127.0.0.1 1\r\n") << Kind::Invalid << 0 << "";
    QTest::newRow("v1 lower case") << QByteArray("proxy TCP4") << Kind::Invalid << 0 << "";

    QTest::newRow("v2 TCP4") << v2(0x21, 0x11, tcp4) + "Ale*t*b" << Kind::Proxied << 28
                             << "10.0.0.6:4660";
    QByteArray tcp6(36, '\0');
    tcp6[0] = char(0x20), tcp6[1] = char(0x01), tcp6[15] = char(0x06); // 2001::6
    tcp6[31] = char(0x01), tcp6[32] = char(0x9c), tcp6[33] = char(0x40); // ::1, port 40000
    QTest::newRow("v2 TCP6") << v2(0x21, 0x21, tcp6) << Kind::Proxied << 52 << "2001::6:40000";
    QTest::newRow("v2 TCP4 with extensions after the addresses")
        << v2(0x21, 0x11, tcp4 + QByteArray("\x04\x00\x01\x00", 4)) << Kind::Proxied << 32
        << "10.0.0.6:4660";
    QTest::newRow("v2 LOCAL (a health check)") << v2(0x20, 0x00, {}) + "GET" << Kind::Local << 16
                                               << "";
    QTest::newRow("v2 signature begun") << QByteArray("\r\n\r\n\0", 5) << Kind::NeedMore << 0
                                        << "";
    QTest::newRow("v2 truncated addresses") << v2(0x21, 0x11, tcp4).left(20) << Kind::NeedMore
                                            << 0 << "";
    QTest::newRow("v2 bad signature") << v2(0x21, 0x11, tcp4).replace("QUIT", "QUIX")
                                      << Kind::Invalid << 0 << "";
    QTest::newRow("v2 version 1 byte") << v2(0x11, 0x11, tcp4) << Kind::Invalid << 0 << "";
    QTest::newRow("v2 unknown command") << v2(0x22, 0x11, tcp4) << Kind::Invalid << 0 << "";
    QTest::newRow("v2 too long") << v2(0x21, 0x11, QByteArray(600, 'x')).left(16) << Kind::Invalid
                                 << 0 << "";
    QTest::newRow("v2 TCP4 block too short") << v2(0x21, 0x11, tcp4.left(6)) << Kind::Invalid << 0
                                             << "";
    QTest::newRow("a list request") << QByteArray("GETLIST") << Kind::Invalid << 0 << "";
}

void TestServerRules::proxyHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(proxyheader::Result::Kind, kind);
    QFETCH(int, length);
    QFETCH(QString, address);
    const proxyheader::Result result = proxyheader::parse(bytes);
    QCOMPARE(result.kind, kind);
    QCOMPARE(result.length, length);
    if (kind == proxyheader::Result::Kind::Proxied)
        QCOMPARE(result.address.toString() + u':' + QString::number(result.port), address);
}

void TestServerRules::addressLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("events"); // "ADDRESS@MS" takes, "~ADDRESS" gives back
    QTest::addColumn<QString>("taken");      // per event: + taken, - refused, . given back
    QTest::newRow("per address")
        << 2 << QStringList{"10.0.0.5@0", "10.0.0.5@1", "10.0.0.5@2", "10.0.0.6@3"} << "++-+";
    QTest::newRow("the window slides (1000 ms)")
        << 2 << QStringList{"10.0.0.5@0", "10.0.0.5@500", "10.0.0.5@999", "10.0.0.5@1000",
                            "10.0.0.5@1001", "10.0.0.5@1500"}
        << "++-+-+";
    QTest::newRow("refusals do not count")
        << 1 << QStringList{"10.0.0.5@0", "10.0.0.5@900", "10.0.0.5@1000"} << "+-+";
    QTest::newRow("given back") << 1 << QStringList{"10.0.0.5@0", "~10.0.0.5", "10.0.0.5@1"}
                                << "+.+";
    QTest::newRow("IPv6 by its /64")
        << 1 << QStringList{"2001:db8::1@0", "2001:db8::2@1", "2001:db8:0:1::1@2"} << "+-+";
    QTest::newRow("IPv6 apart beyond its /96, within its /64")
        << 1 << QStringList{"2001:db8::1@0", "2001:db8::ffff:0:0:1@1"} << "+-";
    QTest::newRow("IPv4 written as IPv6") << 1 << QStringList{"::ffff:10.0.0.5@0", "10.0.0.5@1"}
                                          << "+-";
    QTest::newRow("0: no limit") << 0 << QStringList{"10.0.0.5@0", "10.0.0.5@1"} << "++";
}

void TestServerRules::addressLimit()
{
    QFETCH(int, limit);
    QFETCH(QStringList, events);
    QFETCH(QString, taken);
    AddressLimit addressLimit(limit, 1000);
    QString got;
    for (const QString &event : std::as_const(events)) {
        if (event.startsWith(u'~')) {
            addressLimit.giveBack(QHostAddress(event.mid(1)));
            got += u'.';
            continue;
        }
        const QStringList parts = event.split(u'@');
        got += addressLimit.take(QHostAddress(parts[0]), parts[1].toLongLong()) ? u'+' : u'-';
    }
    QCOMPARE(got, taken);

    // However many addresses come, the table stays bounded.
    AddressLimit bounded(1, 1000, 4);
    for (quint32 i = 0; i < 100; ++i)
        QVERIFY(bounded.take(QHostAddress(0x0a000000 + i), i));
    QVERIFY(bounded.addressCount() <= 4);
}

QTEST_APPLESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
