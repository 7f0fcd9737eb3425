// The fault matrix, post and page: each way a server can misbehave, met by
// the real window, with the same promises every time: the program goes on,
// the window is not left locked, what the user typed stays (a post that went
// out empties title and body), the directory keeps its entries, and a failed
// request gives one box while a page that fails shows its trouble in the view.
#include "faultmatrix.h"

#include <QSignalSpy>

using namespace faultmatrix;

namespace {

const QString warningText = QStringLiteral(
    "WARNING:\r\nForums created or Posts containing explicit language will be removed upon notice.");
const QByteArray postRequest("Mead*<b>Hello</b>*line one<br>\r\nline two");
const QByteArray forumPath("/tav/Mead.htm");

QByteArray httpReply(const QByteArray &body, qsizetype contentLength = -1)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(contentLength < 0 ? body.size() : contentLength) + "\r\nConnection: close\r\n\r\n"
        + body;
}

QByteArray megabytePage()
{
    QByteArray body;
    for (int i = 0; i < 10000; ++i)
        body += QStringLiteral("<p>Message %1 ").arg(i).leftJustified(100, u'~').toUtf8() + "</p>\n";
    return body;
}

enum PageServer { Scripted, Refused, Hanging };

} // namespace

class FaultMatrixPagesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void post_data();
    void post();
    void page_data();
    void page();
};

void FaultMatrixPagesTest::post_data()
{
    QTest::addColumn<FakeServer::Behaviour>("server");
    QTest::addColumn<bool>("resetBeforeSent");
    QTest::addColumn<bool>("posted");

    // The client reads nothing on this connection: once the request and its
    // end are out, only the server's close says it has the post; whatever it
    // sends before that is dropped, and a reset or silence is a failure.
    QTest::newRow("connection refused") << serve(Action::Refuse) << false << false;
    QTest::newRow("accepted then silent") << serve(Action::Silent) << false << false;
    QTest::newRow("reset in the middle of a reply") << serveAfterPeerEnd(Action::Reset, 5, {"STO"}) << false << false;
    QTest::newRow("closed without a reply") << serve(Action::Close) << false << true;
    QTest::newRow("reply in 1-byte pieces") << serve(Action::Reply, bytewise("STORED"), 3) << false << true;
    QTest::newRow("1 MB reply") << serve(Action::Reply, {QByteArray(1 << 20, 'x')}) << false << true;
    QTest::newRow("invalid UTF-8 and NUL bytes in a reply")
        << serve(Action::Reply, {bytes("\xff\0\xc3(")}) << false << true;
    QTest::newRow("reset before the send completes") << serve(Action::Silent) << true << false;
}

void FaultMatrixPagesTest::post()
{
    QFETCH(FakeServer::Behaviour, server);
    QFETCH(bool, resetBeforeSent);
    QFETCH(bool, posted);
    WindowFixture f(matrixTiming());
    postdriver::RawPort raw(1);
    if (resetBeforeSent)
        postdriver::pointPostsAt(f, raw.port());
    prepare(f);
    if (QTest::currentTestFailed())
        return;
    MainWindow &w = *f.window;
    postdriver::selectForum(w, 1);
    bool resetDone = false;
    if (resetBeforeSent) {
        // Runs after the window handed its request to the socket, before it is written.
        connect(&MainWindowProbe::postExchange(w)->socket(), &Socket::connected, &w, [&] { resetDone = raw.acceptAndReset(); });
    }
    const QUrl pageBefore = MainWindowProbe::pageView(w)->address();

    Watch watch(f, {previous}, true);
    f.server.script(FakeServer::Post, server);
    postdriver::click(MainWindowProbe::postButton(w));
    QVERIFY(!unlocked(w));
    const QStringList boxes{warningText, posted ? QStringLiteral("Message posted.") : connectionError};
    QTRY_VERIFY_WITH_TIMEOUT(f.dialogs.messageTexts() == boxes && unlocked(w), lockBudgetMs());
    checkWatch(watch);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(f.dialogs.messages().last().icon, posted ? Dialogs::Information : Dialogs::Warning);
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), typedName);
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), posted ? QString() : typedTitle);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), posted ? QString() : keptBody);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    QCOMPARE(MainWindowProbe::postExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);
    if (posted) {
        QTRY_COMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{postRequest});
        QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Mead page")));
    } else {
        QVERIFY(!resetBeforeSent || resetDone);
        if (resetBeforeSent || server.action == Action::Refuse)
            QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
        else
            QCOMPARE(f.server.requests(FakeServer::Post), QList<QByteArray>{postRequest}); // read, not taken
        QCOMPARE(MainWindowProbe::pageView(w)->address(), pageBefore);
    }
    stillWorks(f);
}

void FaultMatrixPagesTest::page_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<FakeServer::Behaviour>("server");
    // "page"; "error": the view's error page; "part": what came of a page cut
    // off, as a browser shows it; "loading": the blank page, still waiting.
    QTest::addColumn<QString>("shows");
    QTest::addColumn<QStringList>("texts");

    const FakeServer::Behaviour none;
    QTest::newRow("connection refused") << int(Refused) << none << "error" << QStringList();
    QTest::newRow("accepted then silent") << int(Scripted) << serve(Action::Silent) << "loading" << QStringList();
    QTest::newRow("reset in the middle of the page")
        << int(Scripted) << serve(Action::Reset, {httpReply("<p>Mead page, first half", 400)}, 5) << "part"
        << QStringList{"Mead page, first half"};
    QTest::newRow("closed without a reply") << int(Scripted) << serve(Action::Close) << "error" << QStringList();
    QTest::newRow("page in 1-byte pieces")
        << int(Scripted) << serve(Action::Reply, bytewise(httpReply("<p>Mead page, caf\xc3\xa9 in pieces</p>")), 2)
        << "page" << QStringList{QStringLiteral("Mead page, caf\u00e9 in pieces")};
    QTest::newRow("1 MB page") << int(Scripted) << serve(Action::Reply, {httpReply(megabytePage())}) << "page"
                               << QStringList{"Message 0 ~", "Message 9999 ~"};
    QTest::newRow("invalid UTF-8 and NUL bytes")
        << int(Scripted)
        << serve(Action::Reply, {httpReply(bytes("<p>Stout\xff and Por\0ter</p><p>Bi\xc3\xa8re</p>"))})
        << "page" << QStringList{QStringLiteral("Stout\ufffd and Por"), QStringLiteral("Bi\u00e8re")};
    QTest::newRow("never finishes loading") << int(Hanging) << none << "loading" << QStringList();
}

// A double click on a forum meets the page server. Nothing of it is a box,
// nothing locks the window, and a later page replaces whatever is stuck.
void FaultMatrixPagesTest::page()
{
    QFETCH(int, how);
    QFETCH(FakeServer::Behaviour, server);
    QFETCH(QString, shows);
    QFETCH(QStringList, texts);
    WindowFixture f(matrixTiming());
    prepare(f);
    if (QTest::currentTestFailed())
        return;
    MainWindow &w = *f.window;
    if (how == Refused)
        f.server.refusePages(true);
    else if (how == Hanging)
        f.server.setHangingPage(forumPath);
    else
        f.server.scriptPage(forumPath, server);

    Watch watch(f, {previous}, false);
    QSignalSpy shown(MainWindowProbe::pageView(w), &HtmlView::pageShown);
    openForum(w, 1);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    if (shows == u"loading") {
        QTRY_VERIFY(f.server.httpPaths().contains(QString::fromLatin1(forumPath)));
        QTRY_VERIFY(watch.samples >= 50); // watched for a while, the load still stuck
        QVERIFY(MainWindowProbe::pageView(w)->isLoading());
        QCOMPARE(MainWindowProbe::pageView(w)->toPlainText(), QString()); // the blank page that came first
        QCOMPARE(shown.size(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 10000);
        QCOMPARE(shown.first().at(1).toBool(), shows == u"page");
        const QString text = MainWindowProbe::pageView(w)->toPlainText();
        if (shows == u"error")
            QVERIFY2(text.startsWith(QStringLiteral("This page cannot be shown.")), qPrintable(text.left(200)));
        for (const QString &part : std::as_const(texts))
            QVERIFY2(text.contains(part), qPrintable(part));
    }
    checkWatch(watch);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(f.dialogs.boxes.isEmpty());
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), typedName);
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), typedTitle);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), keptBody);
    f.server.refusePages(false);
    stillWorks(f);
    // The page that never came does not turn up over the later one.
    QVERIFY(!MainWindowProbe::pageView(w)->isLoading());
    QCOMPARE(shown.last().at(0).toUrl().path(), QStringLiteral("/tav/Stout.htm"));
    QCOMPARE(shown.size(), shows == u"loading" ? 1 : 2);
}

QTEST_MAIN(FaultMatrixPagesTest)
#include "tst_faultmatrixpages.moc"
