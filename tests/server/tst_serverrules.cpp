// The request rules and page addresses of the forum server, without sockets.

#include "server/store/databaseurl.h"
#include "server/pages/pages.h"
#include "server/base/logsink.h"
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
};

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
    const QByteArray page = pages::forumPage(QStringLiteral("Cellar"), {message}, 1, false);
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

QTEST_APPLESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
