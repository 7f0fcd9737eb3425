// The directory as an object, without the window: the forums the user has
// opened are watched, and one whose page changed since is marked until opened.
#include "fakeserver.h"
#include "protocol/listexchange.h"
#include "ui/directory.h"
#include "ui/listextent.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/listwidget.h"

#include <QAccessible>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList forums{QStringLiteral("Ale"), QStringLiteral("Mead"), QStringLiteral("Stout")};

// A directory over a list, its pages shown in a view, as the window wires them.
struct Rig
{
    explicit Rig(FakeServer &server, const QString &dataFolder)
        : directory(list, server.endpoint())
    {
        directory.setTiming(50, 30000, 60000);
        directory.setDataFolder(dataFolder);
        QObject::connect(&directory, &Directory::pageRequested, &view,
                         [this](const QUrl &url) { view.navigate(url.toString(QUrl::FullyEncoded)); });
        QObject::connect(&view, &HtmlView::pageFetched, &directory, &Directory::notePageShown);
    }

    // One directory refresh, and the checks of the watched forums it starts.
    bool refresh(FakeServer &server)
    {
        QSignalSpy ended(&directory, &Directory::checksEnded);
        server.reply(FakeServer::List, forums.join(QLatin1Char('*')).toUtf8());
        directory.refresh();
        return ended.wait(10000) && list.entries() == forums;
    }

    bool open(const QString &forum, const QString &text)
    {
        list.setSelectedIndex(int(forums.indexOf(forum)));
        QSignalSpy fetched(&view, &HtmlView::pageFetched);
        directory.openSelected();
        return fetched.wait(10000) && view.toPlainText().contains(text);
    }

    bool marked(const QString &forum) const
    {
        const QListWidgetItem *entry = list.item(int(forums.indexOf(forum)));
        const bool shown = entry->font().bold() && entry->font().underline()
            && entry->toolTip() == QStringLiteral("New messages since you last read this forum")
            && entry->data(Qt::AccessibleDescriptionRole).toString() == QStringLiteral("Has new messages");
        return shown && entry->text() == forum;
    }

    ListWidget list;
    HtmlView view;
    Directory directory;
};

QByteArray pagePath(const QString &forum)
{
    return "/tav/" + forum.toUtf8() + ".htm";
}

} // namespace

class WatchedForumsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void changedPageIsMarkedUntilOpened_data();
    void changedPageIsMarkedUntilOpened();
    void marksSurviveARestart();
    void atMostFiftyForumsAreWatched();
};

void WatchedForumsTest::changedPageIsMarkedUntilOpened_data()
{
    QTest::addColumn<QByteArray>("etagBefore");
    QTest::addColumn<QByteArray>("etagAfter");
    QTest::addColumn<bool>("pageChanges");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<bool>("reopening"); // its page asked for again, not yet arrived
    // fault: the new page's validator is not compared with the one seen
    QTest::newRow("validator changed") << QByteArray("\"v1\"") << QByteArray("\"v2\"") << true << true << true << false;
    // fault: the check carries no If-None-Match (an unchanged page would cost a page)
    QTest::newRow("validator unchanged") << QByteArray("\"v1\"") << QByteArray("\"v1\"") << false << true << false << false;
    // fault: a server without validators is never compared by hash
    QTest::newRow("no validators, changed") << QByteArray() << QByteArray() << true << true << true << false;
    // fault: the hash is of something that differs each time (headers, time)
    QTest::newRow("no validators, unchanged") << QByteArray() << QByteArray() << false << true << false << false;
    // fault: every listed forum is checked and marked, not only those opened
    QTest::newRow("never opened") << QByteArray("\"v1\"") << QByteArray("\"v2\"") << true << false << false << false;
    // fault: a check answer marks the forum whose page is being opened
    QTest::newRow("changed while being opened") << QByteArray("\"v1\"") << QByteArray("\"v2\"") << true << true
                                                << false << true;
    // fault: the page on screen stays as it was (or is marked, or loses its place)
    QTest::newRow("being read") << QByteArray("\"v1\"") << QByteArray("\"v2\"") << true << true << false << false;
}

void WatchedForumsTest::changedPageIsMarkedUntilOpened()
{
    QFETCH(QByteArray, etagBefore);
    QFETCH(QByteArray, etagAfter);
    QFETCH(bool, pageChanges);
    QFETCH(bool, opened);
    QFETCH(bool, marked);
    const bool reading = QTest::currentDataTag() == QByteArray("being read");
    QFETCH(bool, reopening);

    FakeServer server;
    QTemporaryDir data;
    Rig rig(server, data.path());
    if (reading) { // as the window wires them
        QObject::connect(&rig.view, &HtmlView::pageShown, &rig.directory, &Directory::followPage);
        QObject::connect(&rig.directory, &Directory::readingChanged, &rig.view, &HtmlView::reload);
        rig.view.show(); // a hidden view has nothing to scroll
    }
    const QByteArray lines = QByteArray("<p>line</p>").repeated(200);
    server.setPage(pagePath("Mead"), "<p>Mead page</p>" + lines, etagBefore);
    QVERIFY(rig.refresh(server));
    fitHorizontalExtent(rig.list);
    const int extent = rig.list.horizontalExtent();
    if (opened)
        QVERIFY(rig.open(QStringLiteral("Mead"), QStringLiteral("Mead page")));
    rig.view.verticalScrollBar()->setValue(200);

    if (reopening) {
        server.setHangingPage(pagePath("Mead"));
        const qsizetype asked = server.httpPaths().size();
        rig.list.setSelectedIndex(1);
        rig.directory.openSelected();
        QTRY_COMPARE(server.httpPaths().size(), asked + 1);
        server.stopHanging(pagePath("Mead"));
    }
        const QByteArray after = (pageChanges ? "<p>Mead page, and a new message</p>" : "<p>Mead page</p>") + lines;
    server.setPage(pagePath("Mead"), after, etagAfter);
    const qsizetype before = server.httpHeads().size();
    QVERIFY(rig.refresh(server));
    if (reading)
        QTRY_VERIFY(rig.view.toPlainText().contains(QStringLiteral("a new message")));
    QCOMPARE(rig.marked(QStringLiteral("Mead")), marked);
    for (const QString &other : {QStringLiteral("Ale"), QStringLiteral("Stout")})
        QVERIFY(!rig.list.item(int(forums.indexOf(other)))->data(Qt::FontRole).isValid());
    QCOMPARE(rig.list.entries(), forums);
    QCOMPARE(rig.list.horizontalExtent(), extent);

    const QList<QByteArray> checks = server.httpHeads().mid(before);
    QCOMPARE(checks.size(), opened ? 1 + reading : 0); // the check, and the page loaded again
    if (opened && !etagBefore.isEmpty())
        QVERIFY(checks.first().contains("\r\nIf-None-Match: " + etagBefore));
    if (reading)
        QCOMPARE(rig.view.verticalScrollBar()->value(), 200);

    if (marked) {
        // A marked forum is not asked again: it stays marked whatever the page does.
        QVERIFY(rig.refresh(server));
        QCOMPARE(server.httpHeads().size(), before + 1);
        QVERIFY(rig.marked(QStringLiteral("Mead")));
        // fault: opening the forum leaves its mark
        QVERIFY(rig.open(QStringLiteral("Mead"), QStringLiteral("a new message")));
        QVERIFY(!rig.list.item(1)->data(Qt::FontRole).isValid());
        QCOMPARE(rig.list.item(1)->toolTip(), QString());
        // fault: the page just read is not what later checks compare with
        QVERIFY(rig.refresh(server));
        QVERIFY(!rig.marked(QStringLiteral("Mead")));
    }
}

// fault: the watched forums or their marks are kept in memory only, or written
// only when the program ends in order
void WatchedForumsTest::marksSurviveARestart()
{
    FakeServer server;
    QTemporaryDir data;
    auto first = std::make_unique<Rig>(server, data.path());
    server.setPage(pagePath("Ale"), "<p>Ale page</p>", "\"a1\"");
    server.setPage(pagePath("Stout"), "<p>Stout page</p>", "\"s1\"");
    QVERIFY(first->refresh(server));
    QVERIFY(first->open(QStringLiteral("Ale"), QStringLiteral("Ale page")));
    QVERIFY(first->open(QStringLiteral("Stout"), QStringLiteral("Stout page")));
    server.setPage(pagePath("Ale"), "<p>Ale page, and more</p>", "\"a2\"");
    QVERIFY(first->refresh(server));
    QVERIFY(first->marked(QStringLiteral("Ale")));

    // The next run reads the folder while this one has not ended.
    Rig second(server, data.path());
    const qsizetype before = server.httpHeads().size();
    QVERIFY(second.refresh(server));
    QVERIFY(second.marked(QStringLiteral("Ale")));
    QVERIFY(!second.marked(QStringLiteral("Stout")));
    // Stout is still watched, with the validator it had.
    QCOMPARE(server.httpHeads().size(), before + 1);
    QVERIFY(server.httpHeads().last().contains("\r\nIf-None-Match: \"s1\""));
    first.reset();

    // A file that is not what the program writes is no reason not to start.
    QFile file(QDir(data.path()).filePath(QStringLiteral("watched.json")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{\"forums\": [7, {\"name\": \"Mead\", \"etag\": []}, \"x\"");
    file.close();
    Rig third(server, data.path());
    QVERIFY(third.refresh(server));
    QVERIFY(!third.marked(QStringLiteral("Ale")));
}

// fault: the watched forums grow without bound (and every refresh with them)
void WatchedForumsTest::atMostFiftyForumsAreWatched()
{
    WatchedForums watched;
    for (int i = 0; i < 60; ++i)
        watched.open(QStringLiteral("Forum %1").arg(i));
    QCOMPARE(watched.forums().size(), WatchedForums::limit);
    QVERIFY(!watched.isWatched(QStringLiteral("Forum 9")));
    // The least recently opened gives way, not the first ever opened.
    watched.open(QStringLiteral("Forum 10"));
    watched.open(QStringLiteral("Forum 60"));
    QCOMPARE(watched.forums().size(), WatchedForums::limit);
    QCOMPARE(watched.forums().mid(0, 2), (QStringList{"Forum 60", "Forum 10"}));
    QVERIFY(!watched.isWatched(QStringLiteral("Forum 11")));
    QCOMPARE(WatchedForums::fromJson(watched.toJson()).forums(), watched.forums());
}

QTEST_MAIN(WatchedForumsTest)
#include "tst_watchedforums.moc"
