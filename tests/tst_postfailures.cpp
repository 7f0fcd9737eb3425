// Posts that fail or meet a changing directory: a refused or reset connection,
// one that never opens, a refresh while the window is busy, a directory that
// got shorter, and the stamp option toggled from its label meanwhile.
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/htmlview.h"
#include "protocol/socket.h"
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
    // The bytes were all written and read: only the server's close would have said it has them.
    QTest::newRow("reset after the server read the post") << "reset after the end";
    QTest::newRow("connection never opens") << "stall";
}

void PostFailuresTest::failedPostKeepsTheMessage()
{
    QFETCH(QString, server);

    WindowFixture f;
    RawPort raw(1);
    if (server == u"refuse") {
        f.server.script(FakeServer::Post, FakeServer::Behaviour::Refuse);
    } else if (server == u"reset after the end") {
        f.server.script(FakeServer::Post, serveAfterPeerEnd(FakeServer::Behaviour::Reset));
    } else {
        pointPostsAt(f, raw.port());
        if (server == u"stall")
            QVERIFY(raw.stall(2));
    }
    f.load();
    MainWindow &w = *f.window;
    bool resetDone = false;
    if (server == u"reset") {
        // Runs after the window's own handler handed the request to the socket,
        // and before the event loop writes it out.
        QObject::connect(&MainWindowProbe::postExchange(w)->socket(), &Socket::connected, &w, [&] { resetDone = raw.acceptAndReset(); });
    }
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("first\nsecond"));
    const QString page = MainWindowProbe::pageView(w)->address().toString();
    bool unlockedWhileOpen = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (box.text == connectionError)
            unlockedWhileOpen = unlocked(w) && MainWindowProbe::postExchange(w)->socket().state() == QAbstractSocket::UnconnectedState;
    };

    click(MainWindowProbe::postButton(w));
    QVERIFY(!unlocked(w));
    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    if (server == u"reset")
        QVERIFY(resetDone);
    const ScriptedDialogs::Box box = f.dialogs.messages().last();
    QCOMPARE(box.text, connectionError);
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
    QVERIFY(unlockedWhileOpen);
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("T"));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("first<br>\r\nsecond"));
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>T</b>"));
    QCOMPARE(MainWindowProbe::draft(w).position, 1);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), 1);
    QCOMPARE(MainWindowProbe::pageView(w)->address().toString(), page); // no forum page shown
    QCOMPARE(MainWindowProbe::postExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);
    if (server == u"reset after the end")
        QCOMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Mead*<b>T</b>*first<br>\r\nsecond"});
}

void PostFailuresTest::refusedPostCanBeSentAgainAtOnce()
{
    WindowFixture f;
    f.server.script(FakeServer::Post, FakeServer::Behaviour::Refuse);
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 0);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 2);

    f.server.script(FakeServer::Post, FakeServer::Behaviour::Reply);
    click(MainWindowProbe::postButton(w));
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
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(MainWindowProbe::postButton(w));
    QVERIFY(!MainWindowProbe::directoryList(w)->isEnabled());

    QVERIFY(f.fillDirectory({"Ale", "Bock", "Mead"})); // a tick of the timer
    QVERIFY(!MainWindowProbe::directoryList(w)->isEnabled());
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    QCOMPARE(f.dialogs.messages().size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    QCOMPARE(f.dialogs.messages().last().text, connectionError);
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::directoryList(w)->entries(), (QStringList{"Ale", "Bock", "Mead"}));
    QCOMPARE(MainWindowProbe::draft(w).position, 1);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("B"));
}

// A refresh while the content warning is open drops the forum before the
// request is sent: the message is kept and the user asked for a forum again.
// fault: the post goes to a forum the server no longer lists, and is lost
void PostFailuresTest::refreshBeforeTheConnectKeepsTheMessage()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    bool refreshed = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (!refreshed && box.text.startsWith(QLatin1String("WARNING:")))
            refreshed = f.fillDirectory({"Ale", "Bock"});
    };
    click(MainWindowProbe::postButton(w));
    QVERIFY(refreshed);
    QTRY_COMPARE(f.dialogs.messages().size(), 2);
    QCOMPARE(f.dialogs.messages().last().text, QStringLiteral("Select a forum to post a message to."));
    QCOMPARE(f.dialogs.messages().last().icon, Dialogs::Warning);
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("T"));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("B"));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::directoryList(w));
    for (const QByteArray &request : f.server.requests(FakeServer::Post))
        QVERIFY(request.isEmpty()); // nothing was posted
}

void PostFailuresTest::directoryChangedDuringThePost_data()
{
    QTest::addColumn<QStringList>("rebuilt");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("page");

    // fault: the forum is selected again by its position before the post
    QTest::newRow("reordered") << QStringList{"Ale", "Bock", "Mead"} << "Mead" << "/tav/Mead.htm";
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
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead", "Stout"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    QObject::connect(&MainWindowProbe::postExchange(w)->socket(), &Socket::connected, &w, [&] { MainWindowProbe::directoryList(w)->setEntries(rebuilt); });
    const QUrl startPage = MainWindowProbe::pageView(w)->address();

    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 2);
    QCOMPARE(f.dialogs.messageTexts().last(), QStringLiteral("Message posted."));
    QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Mead*<b>T</b>*B"});
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), selected);
    if (page.isEmpty()) {
        QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1);
        QCOMPARE(MainWindowProbe::pageView(w)->address(), startPage);
    } else {
        QTRY_VERIFY(f.server.httpPaths().contains(page));
    }
    QVERIFY(MainWindowProbe::titleEdit(w)->text().isEmpty());
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
}

void PostFailuresTest::optionFromTheLabelWhileBusy()
{
    WindowFixture f;
    RawPort raw(1);
    pointPostsAt(f, raw.port());
    QVERIFY(raw.stall(2));
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale"}));
    selectForum(w, 0);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(MainWindowProbe::postButton(w));
    QVERIFY(!MainWindowProbe::stampOption(w)->isEnabled());

    click(MainWindowProbe::stampOption(w)); // locked: nothing happens
    QCOMPARE(MainWindowProbe::stampWanted(w), false);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkUp.toImage());

    QVERIFY(MainWindowProbe::stampLabel(w)->isEnabled());
    click(MainWindowProbe::stampLabel(w));
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
    click(MainWindowProbe::stampLabel(w));
    QCOMPARE(MainWindowProbe::stampWanted(w), false);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkUp.toImage());
    click(MainWindowProbe::stampLabel(w));
    QCOMPARE(MainWindowProbe::stampWanted(w), true);

    // The post under way keeps the title it stored, and the option outlives it.
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>T</b>"));
    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 10000);
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
}

QTEST_MAIN(PostFailuresTest)
#include "tst_postfailures.moc"
