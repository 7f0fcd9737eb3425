// Posting against the fake server: the request on the wire, the checks before
// it, the content warning, and the window after "Message posted.".
#include "protocol/postexchange.h"
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/htmlview.h"
#include "postdriver.h"

#include <QElapsedTimer>
#include <QTest>

using namespace postdriver;

namespace {

const QString warningText = QStringLiteral(
    "WARNING:\r\nForums created or Posts containing explicit language will be removed upon notice.");

} // namespace

class PostTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestOnTheWire_data();
    void requestOnTheWire();
    void checksRefuseInOrder_data();
    void checksRefuseInOrder();
    void postGoesToTheForumOnScreen_data();
    void postGoesToTheForumOnScreen();
    void postedMessageLeavesAnEmptyComposer();
    void postedOnlyOnceTheServerCloses();
    void twoPostsInARow();
    void focusPlacedWhileBusyStaysThere();
};

void PostTest::requestOnTheWire_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("stampBy"); // "", "picture" or "label"
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QByteArray>("request");

    const QDateTime afternoon(QDate(2026, 12, 7), QTime(15, 4, 5));
    QTest::newRow("option off") << "T" << "B" << "" << "en_US" << afternoon << QByteArray("Mead*<b>T</b>*B");
    QTest::newRow("title as typed, UTF-8")
        << QStringLiteral(" Ale & <i>Gr\u00fc\u00dfe</i> ") << "B" << "" << "en_US" << afternoon
        << QByteArray("Mead*<b> Ale & <i>Gr\xc3\xbc\xc3\x9f" "e</i> </b>*B");
    QTest::newRow("Enter in the body") << "T" << "one\ntwo" << "" << "en_US" << afternoon
                                       << QByteArray("Mead*<b>T</b>*one<br>\r\ntwo");
    QTest::newRow("stamp, en_US") << "T" << "B" << "picture" << "en_US" << afternoon
                                  << QByteArray("Mead*<b>T</b>  <i>(12/7/2026 3:04:05 PM)</i>*B");
    QTest::newRow("stamp by the label, de_DE") << "T" << "B" << "label" << "de_DE" << afternoon
                                               << QByteArray("Mead*<b>T</b>  <i>(07.12.2026 15:04:05)</i>*B");
    QTest::newRow("stamp at midnight") << "T" << "B" << "picture" << "en_US"
                                       << QDateTime(QDate(2027, 1, 2), QTime(0, 0))
                                       << QByteArray("Mead*<b>T</b>  <i>(1/2/2027)</i>*B");
}

// The stamp's moment is the one after the content warning closed, so the
// clock only shows the row's moment once the warning is open.
void PostTest::requestOnTheWire()
{
    QFETCH(QString, title);
    QFETCH(QString, body);
    QFETCH(QString, stampBy);
    QFETCH(QString, locale);
    QFETCH(QDateTime, moment);
    QFETCH(QByteArray, request);

    WindowFixture f;
    f.clock.moment = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6));
    f.clock.regional = QLocale(locale);
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead", "Stout"}));
    selectForum(w, 1);
    compose(w, title, body);
    if (stampBy == u"picture")
        click(MainWindowProbe::stampOption(w));
    else if (stampBy == u"label")
        click(MainWindowProbe::stampLabel(w));
    MainWindowProbe::draft(w).storedTitle = QStringLiteral("earlier");

    bool seenOpen = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (box.text != warningText)
            return;
        seenOpen = true;
        // Saved position first, then the warning, then the busy state.
        QCOMPARE(MainWindowProbe::draft(w).position, 1);
        QVERIFY(unlocked(w));
        QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("earlier"));
        QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
        f.clock.moment = moment;
    };
    click(MainWindowProbe::postButton(w));
    QVERIFY(seenOpen);
    QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{request});
    QTRY_COMPARE(f.server.closedCount(FakeServer::Post), 1); // the client closes, nothing ends it
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QString::fromUtf8(request.split('*').at(1)));

    QTRY_COMPARE(f.dialogs.messages().size(), 2);
    const ScriptedDialogs::Box warning = f.dialogs.messages().first();
    QCOMPARE(warning.text, warningText);
    QCOMPARE(warning.icon, Dialogs::Information);
    QCOMPARE(warning.title, QStringLiteral("Tavernly"));
}

void PostTest::checksRefuseInOrder_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus"); // where the focus is afterwards; it starts in the body

    const QString refresh = QStringLiteral("The REFRESH meta tag is not allowed.");
    const QString asterisk = QStringLiteral("Remove the asterisk from your post.");
    const QString empty = QStringLiteral("Enter a tile and body for your post.");
    QTest::newRow("refresh in the title beats the asterisk")
        << "a \"ReFresh\" b" << "x*y" << true << refresh << "bodyEdit";
    QTest::newRow("refresh in the body, nothing selected")
        << "" << "<meta http-equiv=\"REFRESH\">" << false << refresh << "bodyEdit";
    QTest::newRow("asterisk in the body") << "Old title" << "a*b" << true << asterisk << "titleEdit";
    QTest::newRow("asterisk in the title") << "a*" << "b" << true << asterisk << "titleEdit";
    QTest::newRow("empty title, nothing selected") << "" << "B" << false << empty << "titleEdit";
    QTest::newRow("empty body") << "T" << "" << true << empty << "titleEdit";
    QTest::newRow("nothing selected") << "T" << "B" << false
                                      << "Select a forum to post a message to." << "directoryList";
}

void PostTest::checksRefuseInOrder()
{
    QFETCH(QString, title);
    QFETCH(QString, body);
    QFETCH(bool, selected);
    QFETCH(QString, message);
    QFETCH(QString, focus);

    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    if (selected)
        selectForum(w, 1);
    compose(w, title, body);
    MainWindowProbe::draft(w).position = 7;
    MainWindowProbe::draft(w).storedTitle = QStringLiteral("<b>before</b>");

    click(MainWindowProbe::postButton(w));
    QCOMPARE(f.dialogs.messageTexts(), QStringList{message});
    QCOMPARE(f.dialogs.messages().first().icon, Dialogs::Warning);
    QCOMPARE(f.dialogs.messages().first().title, QStringLiteral("Tavernly"));
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    if (focus == u"titleEdit")
        QCOMPARE(MainWindowProbe::titleEdit(w)->selectedText(), title);

    // A refusal changes nothing else: no saved position, no stored title, no busy state.
    QCOMPARE(MainWindowProbe::draft(w).position, 7);
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>before</b>"));
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), title);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QString(body).replace(u'\n', QStringLiteral("<br>\r\n")));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), selected ? 1 : -1);
    QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);

    // Blanks are text: the same window now posts a message of blanks.
    MainWindowProbe::titleEdit(w)->setText(QStringLiteral("  "));
    MainWindowProbe::bodyEdit(w)->setText(QStringLiteral(" "));
    selectForum(w, 0);
    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Ale*<b>  </b>* "});
    QCOMPARE(f.dialogs.messageTexts().at(1), warningText);
}

void PostTest::postGoesToTheForumOnScreen_data()
{
    QTest::addColumn<QString>("link"); // followed in the page of Ale, opened from the directory
    QTest::addColumn<QStringList>("refreshed"); // the directory after a refresh, then
    QTest::addColumn<QByteArray>("request"); // none: refused for want of a forum
    // fault: a refresh drops the selection while the forum's page is on screen
    QTest::newRow("a refresh") << "/tav/Ale.htm" << QStringList{"Stout", "Bock", "Ale"} << QByteArray("Ale*<b>T</b>*B");
    // fault: the post goes to the forum opened, not the one linked to
    QTest::newRow("a link to another forum") << "/tav/Mead.htm" << QStringList() << QByteArray("Mead*<b>T</b>*B");
    // fault: the forum left stays the post's target
    QTest::newRow("a link to the start page") << "/dn.htm" << QStringList() << QByteArray();
}

void PostTest::postGoesToTheForumOnScreen()
{
    QFETCH(QString, link);
    QFETCH(QStringList, refreshed);
    QFETCH(QByteArray, request);
    WindowFixture f;
    for (const char *path : {"/dn.htm", "/tav/Ale.htm", "/tav/Mead.htm"})
        f.server.setPage(path, QByteArray("<p>at ") + path + "</p>");
    f.load();
    MainWindow &w = *f.window;
    ListWidget *list = MainWindowProbe::directoryList(w);
    QVERIFY(f.fillDirectory({"Ale", "Mead", "Stout"}));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    Q_EMIT MainWindowProbe::pageView(w)->anchorClicked(QUrl(link));
    QTRY_COMPARE(MainWindowProbe::pageView(w)->toPlainText(), QStringLiteral("at ") + link);
    if (!refreshed.isEmpty())
        QVERIFY(f.fillDirectory(refreshed));
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(MainWindowProbe::postButton(w));
    const QStringList said = request.isEmpty() ? QStringList{"Select a forum to post a message to."}
                                               : QStringList{warningText, "Message posted."};
    QTRY_COMPARE(f.dialogs.messageTexts(), said);
    QCOMPARE(f.server.requests(FakeServer::Post), request.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{request});
}

void PostTest::postedMessageLeavesAnEmptyComposer()
{
    WindowFixture f;
    f.server.setPage("/tav/Mead.htm", "<p>The new message</p>");
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead", "Stout"}));
    selectForum(w, 1);
    QTest::mouseDClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, MainWindowProbe::directoryList(w)->visualItemRect(MainWindowProbe::directoryList(w)->item(1)).center());
    QTRY_COMPARE(f.server.httpPaths().count(QStringLiteral("/tav/Mead.htm")), 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    click(MainWindowProbe::stampLabel(w));

    bool seenPosted = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (box.text != u"Message posted.")
            return;
        seenPosted = true;
        QCOMPARE(box.icon, Dialogs::Information);
        QCOMPARE(box.title, QStringLiteral("Tavernly"));
        QVERIFY(unlocked(w)); // the busy state is over before the box shows
        QVERIFY(MainWindowProbe::titleEdit(w)->text().isEmpty());
        QVERIFY(MainWindowProbe::bodyEdit(w)->text().isEmpty());
    };
    click(MainWindowProbe::postButton(w));
    QVERIFY(!MainWindowProbe::postButton(w)->isEnabled());
    QVERIFY(!MainWindowProbe::titleEdit(w)->isEnabled());
    QTRY_VERIFY(seenPosted);
    QCOMPARE(f.dialogs.messages().size(), 2);
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), 1);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    QTRY_COMPARE(f.server.httpPaths().count(QStringLiteral("/tav/Mead.htm")), 2); // shown again
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("The new message")));

    // What outlives the post.
    QCOMPARE(MainWindowProbe::draft(w).position, 1);
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>T</b>  <i>(12/7/2026 3:04:05 PM)</i>"));
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
}

// The server has read the whole post, end included, and takes its time to
// store it: the window stays busy until the server closes.
void PostTest::postedOnlyOnceTheServerCloses()
{
    Timing timing = WindowFixture::fastTiming();
    timing.requestLimitMs = 20000;
    WindowFixture f(timing);
    constexpr int storingMs = 4000;
    f.server.script(FakeServer::Post, serveAfterPeerEnd(FakeServer::Behaviour::Close, storingMs));
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));

    QElapsedTimer sincePost;
    qint64 postedAfterMs = -1;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &box) {
        if (box.text == u"Message posted.")
            postedAfterMs = sincePost.elapsed();
    };
    sincePost.start();
    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.server.closedCount(FakeServer::Post), 1); // it read the end
    QCOMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{"Mead*<b>T</b>*B"});
    QCOMPARE(f.dialogs.messageTexts(), QStringList{warningText});
    QVERIFY(!unlocked(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("T"));

    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messageTexts(), (QStringList{warningText, "Message posted."}), 15000);
    QVERIFY2(postedAfterMs >= storingMs * 9 / 10, QByteArray::number(postedAfterMs)); // a coarse timer may fire a little early
    QVERIFY(unlocked(w));
    QVERIFY(MainWindowProbe::titleEdit(w)->text().isEmpty());
    QVERIFY(MainWindowProbe::bodyEdit(w)->text().isEmpty());
    QCOMPARE(MainWindowProbe::postExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);
}

void PostTest::twoPostsInARow()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 0);
    compose(w, QStringLiteral("First"), QStringLiteral("one"));
    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 2);

    selectForum(w, 1);
    compose(w, QStringLiteral("Second"), QStringLiteral("two"));
    click(MainWindowProbe::postButton(w));
    QTRY_COMPARE(f.dialogs.messageTexts().size(), 4);
    QCOMPARE(f.dialogs.messageTexts(),
             (QStringList{warningText, "Message posted.", warningText, "Message posted."}));
    QTRY_COMPARE(f.server.closedCount(FakeServer::Post), 2);
    QTRY_COMPARE(f.server.requests(FakeServer::Post),
             (QList<QByteArray>{"Ale*<b>First</b>*one", "Mead*<b>Second</b>*two"}));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
}

QTEST_MAIN(PostTest)
#include "tst_post.moc"

// fault: the focus is given back after a post though the user placed it elsewhere meanwhile
void PostTest::focusPlacedWhileBusyStaysThere()
{
    WindowFixture f;
    f.server.script(FakeServer::Post, serveAfterPeerEnd(FakeServer::Behaviour::Reset, 1500));
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    compose(w, QStringLiteral("T"), QStringLiteral("B"));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));
    click(MainWindowProbe::postButton(w));
    QVERIFY(!unlocked(w));
    QTest::mouseClick(MainWindowProbe::pageView(w)->viewport(), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::pageView(w));
    QTRY_COMPARE_WITH_TIMEOUT(f.dialogs.messages().size(), 2, 15000); // the warning, the error
    QVERIFY(unlocked(w));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::pageView(w));
}
