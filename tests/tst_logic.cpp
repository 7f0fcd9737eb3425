// The window-free logic: server addresses, create replies, forum name checks,
// post checks and assembly, date stamps.
#include "protocol/endpoint.h"
#include "protocol/forumname.h"
#include "protocol/replies.h"
#include "protocol/postassembly.h"
#include "namecharacterrows.h"
#include "server/app/serverconfig.h"

#include <QTest>

Q_DECLARE_METATYPE(CreateReply)
Q_DECLARE_METATYPE(ForumNameCheck)
Q_DECLARE_METATYPE(PostCheck)

class TestLogic : public QObject
{
    Q_OBJECT

private slots:
    void pageAddresses();
    void forumPageEncodesName_data();
    void forumPageEncodesName();
    void clientAndServerAgreeOnPorts();

    void createReply_data();
    void createReply();
    void forumName_data();
    void forumName();
    void nameCharacters_data();
    void nameCharacters();

    void postChecks_data();
    void postChecks();
    void storedTitleAndRequest();
    void dateStamp_data();
    void dateStamp();
};

// Every run of spaces, whatever their kind (U+202F, U+00A0), as one plain space:
// which space a locale's data puts between fields changes between releases.
static QString spacesNormalised(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (!c.isSpace())
            out += c;
        else if (!out.endsWith(u' '))
            out += u' ';
    }
    return out;
}

static ServerEndpoint endpointAt(const QString &host, quint16 httpPort)
{
    ServerEndpoint endpoint;
    endpoint.host = host;
    endpoint.httpPort = httpPort;
    return endpoint;
}

void TestLogic::pageAddresses()
{
    QCOMPARE(endpointAt(QStringLiteral("forum.example"), 6340).startPage().toEncoded(),
             QByteArray("http://forum.example:6340/dn.htm"));
    QCOMPARE(endpointAt(QStringLiteral("127.0.0.1"), 40123).startPage().toEncoded(),
             QByteArray("http://127.0.0.1:40123/dn.htm"));
    QCOMPARE(endpointAt(QStringLiteral("127.0.0.1"), 40123).forumPage(QStringLiteral("Cellar")).toEncoded(),
             QByteArray("http://127.0.0.1:40123/tav/Cellar.htm"));
}

void TestLogic::forumPageEncodesName_data()
{
    QTest::addColumn<QString>("forum");
    QTest::addColumn<QByteArray>("address");

    const QByteArray base("http://forum.example:6340/tav/");
    QTest::newRow("plain") << "Ale_House-2.0~" << base + "Ale_House-2.0~.htm";
    QTest::newRow("spaces") << " my  forum " << base + "%20my%20%20forum%20.htm";
    QTest::newRow("hash") << "C#" << base + "C%23.htm";
    QTest::newRow("percent") << "100%" << base + "100%25.htm";
    QTest::newRow("escape look-alike") << "%41" << base + "%2541.htm";
    QTest::newRow("question mark") << "why?" << base + "why%3F.htm";
    QTest::newRow("slash") << "a/b" << base + "a%2Fb.htm";
    QTest::newRow("dots") << ".." << base + "...htm";
    QTest::newRow("sub-delimiters") << "Tom & Jerry;+=@" << base + "Tom%20%26%20Jerry%3B%2B%3D%40.htm";
    QTest::newRow("non-ASCII") << QStringLiteral("Caf\u00e9 \u00dcber") << base + "Caf%C3%A9%20%C3%9Cber.htm";
    QTest::newRow("CJK") << QStringLiteral("\u65e5\u672c") << base + "%E6%97%A5%E6%9C%AC.htm";
}

void TestLogic::forumPageEncodesName()
{
    QFETCH(QString, forum);
    QFETCH(QByteArray, address);
    const QUrl page = endpointAt(QStringLiteral("forum.example"), 6340).forumPage(forum);
    QCOMPARE(page.toEncoded(), address);
    QCOMPARE(page.toString(QUrl::FullyEncoded).toLatin1(), address);
    // The server sees the name whole, as the last segment.
    const QByteArray path = page.path(QUrl::FullyEncoded).toLatin1();
    QCOMPARE(path.left(5), QByteArray("/tav/"));
    QCOMPARE(QUrl::fromPercentEncoding(path.mid(5)), forum + QStringLiteral(".htm"));
}

// Out of the box the client asks where the server, out of the box, listens.
void TestLogic::clientAndServerAgreeOnPorts()
{
    const ServerEndpoint client = ServerEndpoint::standard();
    const ServerConfig server;
    QVERIFY(!client.host.isEmpty());
    QVERIFY(!client.serviceUrl.isEmpty());
    QCOMPARE(client.listPort, server.listPort);
    QCOMPARE(client.createPort, server.createPort);
    QCOMPARE(client.postPort, server.postPort);
    QCOMPARE(client.httpPort, server.httpPort);
    QCOMPARE(client.startPage().port(), int(server.httpPort));
}

void TestLogic::createReply_data()
{
    QTest::addColumn<QByteArray>("gathered");
    QTest::addColumn<CreateReply>("kind");

    QTest::newRow("exists") << QByteArray("EXISTS") << CreateReply::Exists;
    QTest::newRow("created") << QByteArray("CREATED") << CreateReply::Created;
    QTest::newRow("limited") << QByteArray("LIMITED") << CreateReply::Limited;
    QTest::newRow("start of limited") << QByteArray("LIMIT") << CreateReply::Incomplete;
    QTest::newRow("nothing yet") << QByteArray() << CreateReply::Incomplete;
    QTest::newRow("start of exists") << QByteArray("EXI") << CreateReply::Incomplete;
    QTest::newRow("start of created") << QByteArray("CREATE") << CreateReply::Incomplete;
    QTest::newRow("lower case") << QByteArray("created") << CreateReply::Unrecognised;
    QTest::newRow("line break after") << QByteArray("CREATED\r\n") << CreateReply::Unrecognised;
    QTest::newRow("more after") << QByteArray("EXISTSX") << CreateReply::Unrecognised;
    QTest::newRow("blank before") << QByteArray(" EXISTS") << CreateReply::Unrecognised;
    QTest::newRow("other word") << QByteArray("ERROR") << CreateReply::Unrecognised;
}

void TestLogic::createReply()
{
    QFETCH(QByteArray, gathered);
    QFETCH(CreateReply, kind);
    QCOMPARE(classifyCreateReply(gathered), kind);
}

void TestLogic::forumName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<ForumNameCheck>("check");

    QTest::newRow("placeholder") << "<Enter the name of your forum here>" << ForumNameCheck::ForbiddenCharacter;
    QTest::newRow("empty") << "" << ForumNameCheck::Empty;
    QTest::newRow("blanks pass") << "   " << ForumNameCheck::Ok;
    QTest::newRow("ordinary") << " Ale House & Co. (est. 1999)! " << ForumNameCheck::Ok;
    QTest::newRow("single quotes pass") << "'quoted'" << ForumNameCheck::Ok;
    QTest::newRow("non-ASCII") << QStringLiteral("Caf\u00e9") << ForumNameCheck::Ok;
    const QString forbidden = QStringLiteral("\"|><?:\\/*");
    for (const QChar c : forbidden) {
        QTest::addRow("holds %s", qPrintable(QString(c)))
            << QStringLiteral("ab") + c + QStringLiteral("cd") << ForumNameCheck::ForbiddenCharacter;
    }
    QTest::newRow("forbidden alone") << "*" << ForumNameCheck::ForbiddenCharacter;
    QTest::newRow("forbidden before invisible") << QStringLiteral("a*\u200Bb") << ForumNameCheck::ForbiddenCharacter;
}

void TestLogic::forumName()
{
    QFETCH(QString, name);
    QFETCH(ForumNameCheck, check);
    QCOMPARE(checkForumName(name), check);
}

void TestLogic::nameCharacters_data()
{
    addNameCharacterRows();
}

void TestLogic::nameCharacters()
{
    QFETCH(QString, name);
    QFETCH(NameCharacters, characters);
    QCOMPARE(checkForumName(name),
             characters == NameCharacters::Ok ? ForumNameCheck::Ok : ForumNameCheck::HiddenCharacter);
}

void TestLogic::postChecks_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("forum");
    QTest::addColumn<PostCheck>("check");

    QTest::newRow("ok") << "Hello" << "A <b>body</b>" << "Cellar" << PostCheck::Ok;
    QTest::newRow("refresh in title") << "a \"Refresh\" b" << "body" << "Cellar" << PostCheck::RefreshTag;
    QTest::newRow("refresh in body")
        << "t" << "<meta http-equiv=\"REFRESH\" content=0>" << "Cellar" << PostCheck::RefreshTag;
    QTest::newRow("refresh without quotes") << "refresh" << "REFRESH me" << "Cellar" << PostCheck::Ok;
    QTest::newRow("refresh in single quotes") << "'refresh'" << "b" << "Cellar" << PostCheck::Ok;
    QTest::newRow("refresh with a blank inside") << "\" refresh\"" << "b" << "Cellar" << PostCheck::Ok;
    QTest::newRow("refresh pattern beats asterisk") << "\"refresh\"" << "a*b" << "Cellar" << PostCheck::RefreshTag;
    QTest::newRow("refresh beats everything") << "" << "*\"rEfReSh\"" << "" << PostCheck::RefreshTag;
    QTest::newRow("asterisk in title") << "a*" << "b" << "Cellar" << PostCheck::Asterisk;
    QTest::newRow("asterisk in body") << "t" << "*" << "Cellar" << PostCheck::Asterisk;
    QTest::newRow("asterisk beats empty") << "*" << "" << "" << PostCheck::Asterisk;
    QTest::newRow("empty title") << "" << "b" << "Cellar" << PostCheck::Empty;
    QTest::newRow("empty body") << "t" << "" << "Cellar" << PostCheck::Empty;
    QTest::newRow("empty title with no forum selected gives Empty") << "" << "b" << "" << PostCheck::Empty;
    QTest::newRow("no forum") << "t" << "b" << "" << PostCheck::NoForum;
    QTest::newRow("blanks pass") << "   " << " " << "Cellar" << PostCheck::Ok;
}

void TestLogic::postChecks()
{
    QFETCH(QString, title);
    QFETCH(QString, body);
    QFETCH(QString, forum);
    QFETCH(PostCheck, check);
    QCOMPARE(checkPost(title, body, forum), check);
}

void TestLogic::storedTitleAndRequest()
{
    QCOMPARE(storedTitle(QStringLiteral(" Hi & <bye> "), false, QStringLiteral("12/7/2026 3:04:05 PM")), QStringLiteral("<b> Hi & <bye> </b>"));
    QCOMPARE(storedTitle(QStringLiteral("Hi"), true, QStringLiteral("12/7/2026 3:04:05 PM")),
             QStringLiteral("<b>Hi</b>  <i>(12/7/2026 3:04:05 PM)</i>"));
    QCOMPARE(postRequest(QStringLiteral("Ale House"), QStringLiteral("<b>Hi</b>"), QStringLiteral("line<br>line")),
             QStringLiteral("Ale House*<b>Hi</b>*line<br>line"));
}

void TestLogic::dateStamp_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("stamp");

    const QDate day(2026, 12, 7);
    const QDateTime afternoon(day, QTime(15, 4, 5));
    // Fails if the fields or their order change; only the kind of space is free.
    QTest::newRow("en_US afternoon") << "en_US" << afternoon << "12/7/2026 3:04:05 PM";
    // Newer locale data (CLDR 42 on) puts a narrow no-break space before AM and PM.
    QTest::newRow("en_US afternoon, narrow space")
        << "en_US" << afternoon << QStringLiteral("12/7/2026 3:04:05\u202fPM");
    QTest::newRow("en_US morning") << "en_US" << QDateTime(QDate(2026, 1, 2), QTime(9, 5, 3))
                                   << "1/2/2026 9:05:03 AM";
    QTest::newRow("en_US midnight") << "en_US" << QDateTime(day, QTime(0, 0)) << "12/7/2026";
    QTest::newRow("en_US midnight and a bit") << "en_US" << QDateTime(day, QTime(0, 0, 0, 500)) << "12/7/2026";
    QTest::newRow("en_US one second past") << "en_US" << QDateTime(day, QTime(0, 0, 1)) << "12/7/2026 12:00:01 AM";
    QTest::newRow("de_DE") << "de_DE" << afternoon << "07.12.2026 15:04:05";
    QTest::newRow("de_DE midnight") << "de_DE" << QDateTime(day, QTime(0, 0)) << "07.12.2026";
    QTest::newRow("fr_FR") << "fr_FR" << afternoon << "07/12/2026 15:04:05";
    QTest::newRow("ja_JP") << "ja_JP" << afternoon << QStringLiteral("2026/12/07 15\u664204\u520605\u79d2");
    QTest::newRow("zh_CN, zone first") << "zh_CN" << afternoon << "2026/12/7 15:04:05";
    QTest::newRow("zh_TW, zone in brackets, day period")
        << "zh_TW" << afternoon << QStringLiteral("2026/12/7 \u4e0b\u53483:04:05");
    QTest::newRow("fa_IR, zone in brackets") << "fa_IR" << afternoon
        << QLocale(QStringLiteral("fa_IR")).toString(day, QStringLiteral("yyyy/M/d")) + u' '
               + QLocale(QStringLiteral("fa_IR")).toString(QTime(15, 4, 5), QStringLiteral("H:mm:ss"));
}

void TestLogic::dateStamp()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, moment);
    QFETCH(QString, stamp);
    QCOMPARE(spacesNormalised(dateTimeStamp(moment, QLocale(locale))), spacesNormalised(stamp));
}

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
