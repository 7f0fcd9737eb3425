// Posts that fail or meet a changing directory: a refused or reset connection,
// one that never opens, a refresh while the window is busy, a directory that
// got shorter, and the stamp option toggled from its label meanwhile.
#include "platform/clicklabel.h"
#include "platform/dialogs.h"
#include "platform/htmlview.h"
#include "platform/socket.h"
#include "postdriver.h"

#include <QTest>

using namespace postdriver;

namespace {

const QString connectionError = QStringLiteral(
    "Connection error.  Check your internet connection or visit http://tavernly.test/ for maintenance schedules.");

} // namespace

class PostFailuresTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void failedPostKeepsTheMessage_data();
    void failedPostKeepsTheMessage();
    void refusedPostCanBeSentAgainAtOnce();
    void refreshDuringAPost();
    void refreshBeforeTheConnectKeepsTheMessage();
    void directoryChangedDuringThePost_data();
    void directoryChangedDuringThePost();
    void optionFromTheLabelWhileBusy();
};

void PostFailuresTest::failedPostKeepsTheMessage_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("refused") << "refuse";
    QTest::newRow("reset before the send completes") << "reset";
    QTest::newRow("connection never opens") << "stall";
}

void PostFailuresTest::failedPostKeepsTheMessage()
{
    QFETCH(QString, server);

    WindowFixture f;
    RawPort raw(1);
    if (server == u"refuse") {
        f.server.script(FakeServer::Post, FakeServer::Behaviour::Refuse);
    } else {
        pointPostsAt(f, raw.port());
        if (server == u"stall")
            QVERIFY(raw.stall(2));
    }
    f.load();
    Form1 &w = *f.window;
    bool resetDone = false;
    if (server == u"reset") {
        // Runs after the window's own handler handed the request to the socket,
        // and before the event loop writes it out.
        QObject::connect(w.sckPost, &Socket::connected, &w, [&] { resetDone = raw.acceptAndReset(); });
    }
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("first\nsecond"));
    const QString page = w.Web1->address().toString();
    bool unlockedWhileOpen = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (box.text == connectionError)
            unlockedWhileOpen = unlocked(w) && w.sckPost->State() == Socket::Closed;
    };

    click(w.btnPost);
    QVERIFY(!unlocked(w));
    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    if (server == u"reset")
        QVERIFY(resetDone);
    const ScriptedDialogs::Box box = f.dialogs.messages().last();
    QCOMPARE(box.text, connectionError);
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
    QVERIFY(unlockedWhileOpen);
    QCOMPARE(w.Text2->Text(), QStringLiteral("T"));
    QCOMPARE(w.Text3->Text(), QStringLiteral("first<br>\r\nsecond"));
    QCOMPARE(w.Text2->Tag(), QStringLiteral("<b>T</b>"));
    QCOMPARE(w.List1->Tag(), QStringLiteral("1"));
    QCOMPARE(w.List1->ListIndex(), 1);
    QCOMPARE(w.Web1->address().toString(), page); // no forum page shown
    QCOMPARE(w.sckPost->State(), int(Socket::Closed));
}

void PostFailuresTest::refusedPostCanBeSentAgainAtOnce()
{
    WindowFixture f;
    f.server.script(FakeServer::Post, FakeServer::Behaviour::Refuse);
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 0);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(w.btnPost);
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 2);

    f.server.script(FakeServer::Post, FakeServer::Behaviour::Reply);
    click(w.btnPost);
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 4);
    QCOMPARE(f.dialogs.messageTexts().mid(1, 3),
             (QStringList{connectionError, f.dialogs.messageTexts().at(0), "Message posted."}));
    QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Ale*<b>T</b>*B"});
}

// The busy state does not hold off the directory refresh.
void PostFailuresTest::refreshDuringAPost()
{
    WindowFixture f;
    RawPort raw(1);
    pointPostsAt(f, raw.port());
    QVERIFY(raw.stall(2));
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(w.btnPost);
    QVERIFY(!w.List1->isEnabled());

    QVERIFY(f.fillDirectory({"Ale", "Bock", "Mead"})); // a tick of the timer
    QVERIFY(!w.List1->isEnabled());
    QCOMPARE(w.List1->ListIndex(), -1);
    QCOMPARE(f.dialogs.messages().size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    QCOMPARE(f.dialogs.messages().last().text, connectionError);
    QVERIFY(unlocked(w));
    QCOMPARE(w.List1->entries(), (QStringList{"Ale", "Bock", "Mead"}));
    QCOMPARE(w.List1->Tag(), QStringLiteral("1"));
    QCOMPARE(w.Text3->Text(), QStringLiteral("B"));
}

// A refresh while the content warning is open drops the selection before the
// request is sent: the message is kept and the user asked for a forum again.
void PostFailuresTest::refreshBeforeTheConnectKeepsTheMessage()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    bool refreshed = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (!refreshed && box.text.startsWith(QLatin1String("WARNING:")))
            refreshed = f.fillDirectory({"Ale", "Bock", "Mead"});
    };
    click(w.btnPost);
    QVERIFY(refreshed);
    QTRY_COMPARE(f.dialogs.messages().size(), 2);
    QCOMPARE(f.dialogs.messages().last().text, QStringLiteral("Select a forum to post a message to."));
    QCOMPARE(f.dialogs.messages().last().icon, Dialogs::Warning);
    QVERIFY(unlocked(w));
    QCOMPARE(w.Text2->Text(), QStringLiteral("T"));
    QCOMPARE(w.Text3->Text(), QStringLiteral("B"));
    QCOMPARE(QApplication::focusWidget(), w.List1);
    for (const QByteArray &request : f.server.requests(FakeServer::Post))
        QVERIFY(request.isEmpty()); // nothing was posted
}

void PostFailuresTest::directoryChangedDuringThePost_data()
{
    QTest::addColumn<QStringList>("rebuilt");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("page");

    QTest::newRow("same length") << QStringList{"Ale", "Bock", "Mead"} << "Bock" << "/tav/Bock.htm";
    QTest::newRow("shorter") << QStringList{"Ale"} << "" << "";
}

// The list is rebuilt between the request going out and the send completing,
// as a refresh landing then would rebuild it.
void PostFailuresTest::directoryChangedDuringThePost()
{
    QFETCH(QStringList, rebuilt);
    QFETCH(QString, selected);
    QFETCH(QString, page);

    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead", "Stout"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    QObject::connect(w.sckPost, &Socket::connected, &w, [&] { w.List1->setEntries(rebuilt); });
    const QUrl startPage = w.Web1->address();

    click(w.btnPost);
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 2);
    QCOMPARE(f.dialogs.messageTexts().last(), QStringLiteral("Message posted."));
    QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Mead*<b>T</b>*B"});
    QVERIFY(unlocked(w));
    QCOMPARE(w.List1->Text(), selected);
    if (page.isEmpty()) {
        QCOMPARE(w.List1->ListIndex(), -1);
        QCOMPARE(w.Web1->address(), startPage);
    } else {
        QTRY_VERIFY(f.server.httpPaths().contains(page));
    }
    QVERIFY(w.Text2->Text().isEmpty());
    QCOMPARE(QApplication::focusWidget(), w.Text2);
}

void PostFailuresTest::optionFromTheLabelWhileBusy()
{
    WindowFixture f;
    RawPort raw(1);
    pointPostsAt(f, raw.port());
    QVERIFY(raw.stall(2));
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale"}));
    selectForum(w, 0);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(w.btnPost);
    QVERIFY(!w.btnCheck->isEnabled());

    click(w.btnCheck); // locked: nothing happens
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("UN"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckUP.toImage());

    QVERIFY(w.Label3->isEnabled());
    click(w.Label3);
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("CH"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckDOWN.toImage());
    click(w.Label3);
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("UN"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckUP.toImage());
    click(w.Label3);
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("CH"));

    // The post under way keeps the title it stored, and the option outlives it.
    QCOMPARE(w.Text2->Tag(), QStringLiteral("<b>T</b>"));
    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("CH"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckDOWN.toImage());
}

QTEST_MAIN(PostFailuresTest)
#include "tst_postfailures.moc"
