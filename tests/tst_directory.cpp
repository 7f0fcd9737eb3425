// The forum directory against the fake server: the list exchange, opening a
// forum's page, and the tool tip.
#include "ui/widgets/htmlview.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "protocol/socket.h"
#include "ui/widgets/lineedit.h"
#include "windowfixture.h"

#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

namespace {

const QStringList before{QStringLiteral("Old Cellar"), QStringLiteral("Old Hall")};

QPoint centreOf(const ListWidget &list, int row)
{
    return list.visualItemRect(list.item(row)).center();
}

void select(ListWidget &list, int row)
{
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, centreOf(list, row));
    QCOMPARE(list.selectedIndex(), row);
}

Timing quietAfter(int ms)
{
    Timing timing = WindowFixture::fastTiming();
    timing.listQuietMs = ms;
    return timing;
}

QString tipFor(const QString &forum)
{
    return QStringLiteral(" Double-Click to view the ''") + forum + QStringLiteral("'' forum ");
}

} // namespace

class DirectoryTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyIsListedAsSent_data();
    void replyIsListedAsSent();
    void replyInPiecesFillsTheWholeDirectoryOnce_data();
    void replyInPiecesFillsTheWholeDirectoryOnce();
    void hundredThousandNames();
    void failureKeepsTheDirectory_data();
    void failureKeepsTheDirectory();
    void refreshKeepsTheSelectedForum();
    void doubleClickWithNothingSelectedOpensNothing();
    void doubleClickOpensTheSelectedForum();
    void enterOpensTheSelectedForum();
    void toolTipNamesTheSelectedForum();
};

void DirectoryTest::replyIsListedAsSent_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("reply order, unsorted") << QByteArray("Stout*Ale*Mead") << QStringList{"Stout", "Ale", "Mead"};
    // How a reply splits into names is the list reply's own test.
    QTest::newRow("separator alone: an empty directory") << QByteArray("*") << QStringList();
    QTest::newRow("letters beyond ASCII")
        << QByteArray("Caf\xc3\xa9*Bi\xc3\xa8re #2")
        << QStringList{QStringLiteral("Café"), QStringLiteral("Bière #2")};
}

// The server closes after its reply; the directory is rebuilt from it alone.
void DirectoryTest::replyIsListedAsSent()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, listed);
    WindowFixture f;
    f.load();
    QVERIFY(f.fillDirectory(before));

    f.server.reply(FakeServer::List, reply);
    MainWindowProbe::refreshDirectory(*f.window);
    QTRY_COMPARE(MainWindowProbe::directoryList(*f.window)->entries(), listed);
    QCOMPARE(f.server.requests(FakeServer::List).last(), QByteArray("GETLIST"));
    QTRY_COMPARE(f.server.closedCount(FakeServer::List), f.server.connectionCount(FakeServer::List));
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void DirectoryTest::replyInPiecesFillsTheWholeDirectoryOnce_data()
{
    QTest::addColumn<bool>("keepOpen");
    QTest::addColumn<int>("quietMs");
    // Pieces come 30 ms apart, well within either quiet time.
    QTest::newRow("server closes") << false << 1000;
    QTest::newRow("server falls quiet") << true << 400;
}

void DirectoryTest::replyInPiecesFillsTheWholeDirectoryOnce()
{
    QFETCH(bool, keepOpen);
    QFETCH(int, quietMs);
    WindowFixture f(quietAfter(quietMs));
    f.load();
    QVERIFY(f.fillDirectory(before));

    // What the list shows after each piece has been read.
    QList<QStringList> seen;
    connect(&MainWindowProbe::listExchange(*f.window)->socket(), &Socket::dataReceived, this, [&] { seen.append(MainWindowProbe::directoryList(*f.window)->entries()); });
    FakeServer::Behaviour pieces;
    pieces.pieces = {"Ale*Me", "ad*Sto", "ut*Wi", "ne Cellar"};
    pieces.pieceDelayMs = 30;
    pieces.keepOpen = keepOpen;
    f.server.script(FakeServer::List, pieces);
    MainWindowProbe::refreshDirectory(*f.window);

    QTRY_COMPARE(MainWindowProbe::directoryList(*f.window)->entries(), (QStringList{"Ale", "Mead", "Stout", "Wine Cellar"}));
    QVERIFY2(seen.size() >= 2, "the reply came in one read");
    for (const QStringList &shown : std::as_const(seen))
        QCOMPARE(shown, before);
    // Either way the exchange is over: the client closed a connection the server kept.
    QTRY_COMPARE(f.server.closedCount(FakeServer::List), f.server.connectionCount(FakeServer::List));
    QVERIFY(f.dialogs.boxes.isEmpty());
}

// Far past where a 16-bit field walk stops.
void DirectoryTest::hundredThousandNames()
{
    WindowFixture f(quietAfter(2000));
    f.load();
    QStringList names;
    for (int i = 0; i < 100000; ++i)
        names.append(QStringLiteral("Forum %1").arg(i));
    f.server.reply(FakeServer::List, names.join(u'*').toUtf8());
    MainWindowProbe::refreshDirectory(*f.window);
    QTRY_COMPARE_WITH_TIMEOUT(MainWindowProbe::directoryList(*f.window)->count(), 100000, 30000);
    QCOMPARE(MainWindowProbe::directoryList(*f.window)->entries(), names);
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void DirectoryTest::failureKeepsTheDirectory_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<int>("boxes");
    QTest::newRow("connection refused") << int(FakeServer::Behaviour::Refuse) << 1;
    QTest::newRow("reset in the middle of the reply") << int(FakeServer::Behaviour::Reset) << 1;
    QTest::newRow("closed without a reply") << int(FakeServer::Behaviour::Close) << 0;
}

void DirectoryTest::failureKeepsTheDirectory()
{
    QFETCH(int, ending);
    QFETCH(int, boxes);
    // A long quiet time: only the reset can end the half-sent reply.
    WindowFixture f(quietAfter(3000));
    f.load();
    QVERIFY(f.fillDirectory(before));
    select(*MainWindowProbe::directoryList(*f.window), 1);

    QSignalSpy arrivals(&MainWindowProbe::listExchange(*f.window)->socket(), &Socket::dataReceived);
    QSignalSpy errors(&MainWindowProbe::listExchange(*f.window)->socket(), &Socket::error);
    QSignalSpy closed(&MainWindowProbe::listExchange(*f.window)->socket(), &Socket::peerClosed);
    if (ending == FakeServer::Behaviour::Reset) {
        FakeServer::Behaviour half;
        half.pieces = {"Ale*Me"};
        half.keepOpen = true;
        f.server.script(FakeServer::List, half);
        MainWindowProbe::refreshDirectory(*f.window);
        QTRY_VERIFY(!arrivals.isEmpty());
        f.server.resetOpenConnections(FakeServer::List);
    } else {
        f.server.script(FakeServer::List, FakeServer::Behaviour::Action(ending));
        MainWindowProbe::refreshDirectory(*f.window);
    }
    QTRY_COMPARE(errors.size() + closed.size(), 1);
    QCOMPARE(errors.size(), boxes);
    // The window hears of the ending through a queued call.
    QTRY_COMPARE(f.dialogs.boxes.size(), boxes);
    if (boxes) {
        const ScriptedDialogs::Box box = f.dialogs.boxes.first();
        QCOMPARE(box.text, QStringLiteral("Connection error.  Check your internet connection or visit "
                                          "http://tavernly.test/ for maintenance schedules."));
        QCOMPARE(box.icon, Dialogs::Warning);
        QCOMPARE(box.title, QStringLiteral("Tavernly"));
    }
    QCOMPARE(MainWindowProbe::directoryList(*f.window)->entries(), before);
    QCOMPARE(MainWindowProbe::directoryList(*f.window)->selectedEntry(), before.at(1));
    QVERIFY(MainWindowProbe::directoryList(*f.window)->isEnabled());
    QVERIFY(MainWindowProbe::postButton(*f.window)->isEnabled());

    // The next refresh starts afresh: nothing of a cut reply is left over.
    f.server.reply(FakeServer::List, "Wine");
    MainWindowProbe::refreshDirectory(*f.window);
    QTRY_COMPARE(MainWindowProbe::directoryList(*f.window)->entries(), QStringList{"Wine"});
    QCOMPARE(f.dialogs.boxes.size(), boxes);
}

// fault: a refresh drops the selection, or selects again by position
void DirectoryTest::refreshKeepsTheSelectedForum()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    select(*MainWindowProbe::directoryList(w), 0);
    QTest::mouseMove(MainWindowProbe::directoryList(w)->viewport(), centreOf(*MainWindowProbe::directoryList(w), 1));
    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_Down); // selects only
    MainWindowProbe::draft(w).position = 1;

    QVERIFY(f.fillDirectory({"Bock", "Stout", "Mead", "Ale"}));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), tipFor("Mead")); // fault: the tip names Ale still
    QCOMPARE(MainWindowProbe::draft(w).position, 1);
    QVERIFY(f.fillDirectory({"Ale", "Stout"}));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1);
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), tipFor("Mead"));
}

void DirectoryTest::doubleClickWithNothingSelectedOpensNothing()
{
    WindowFixture f;
    f.server.setPage("/dn.htm", "<p>Welcome to the tavern</p>");
    f.load();
    MainWindow &w = *f.window;
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Welcome to the tavern")));
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    const QStringList paths = f.server.httpPaths();

    // Below the last entry: nothing gets selected.
    QTest::mouseDClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, QPoint(20, MainWindowProbe::directoryList(w)->viewport()->height() - 5));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1);
    MainWindowProbe::directoryList(w)->setFocus();
    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_Return);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1);

    // Opening would have emptied the view at once.
    QVERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Welcome to the tavern")));
    QCOMPARE(MainWindowProbe::pageView(w)->address(), f.server.endpoint().startPage());
    QCOMPARE(f.server.httpPaths(), paths);
}

void DirectoryTest::doubleClickOpensTheSelectedForum()
{
    WindowFixture f;
    f.server.setPage("/dn.htm", "<p>Welcome to the tavern</p>");
    f.server.setPage("/tav/Ale%20%26%20Mead%20%231%20Caf%C3%A9.htm", "<p>The cosy corner</p>");
    f.load();
    MainWindow &w = *f.window;
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Welcome to the tavern")));
    const QString forum = QStringLiteral("Ale & Mead #1 Café");
    QVERIFY(f.fillDirectory({"Stout", forum}));

    QTest::mouseDClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, centreOf(*MainWindowProbe::directoryList(w), 1));
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), forum);
    // The old page went at once (the blank page), before the forum's page arrives.
    QCOMPARE(MainWindowProbe::pageView(w)->toPlainText(), QString());
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("The cosy corner")));
    QCOMPARE(f.server.httpPaths().last(), QStringLiteral("/tav/Ale%20%26%20Mead%20%231%20Caf%C3%A9.htm"));
    QCOMPARE(f.server.httpPaths().count(QStringLiteral("/tav/Ale%20%26%20Mead%20%231%20Caf%C3%A9.htm")), 1);
}

// Keyboard access: Enter opens the selected entry as a double click does.
void DirectoryTest::enterOpensTheSelectedForum()
{
    WindowFixture f;
    f.server.setPage("/tav/Ale.htm", "<p>Ale page</p>");
    f.server.setPage("/tav/Mead.htm", "<p>Mead page</p>");
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));

    MainWindowProbe::directoryList(w)->setFocus();
    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_End);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Mead"));
    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_Return);
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Mead page")));

    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_Home);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), QStringLiteral("Ale"));
    QTest::keyClick(MainWindowProbe::directoryList(w), Qt::Key_Enter);
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Ale page")));
    QCOMPARE(f.server.httpPaths().mid(f.server.httpPaths().indexOf(QStringLiteral("/tav/Mead.htm"))),
             (QStringList{"/tav/Mead.htm", "/tav/Ale.htm"}));
}

void DirectoryTest::toolTipNamesTheSelectedForum()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead's Hall"}));
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), QString());

    // Nothing selected: the tip stays as it was.
    QTest::mouseMove(MainWindowProbe::directoryList(w)->viewport(), centreOf(*MainWindowProbe::directoryList(w), 1));
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), QString());

    select(*MainWindowProbe::directoryList(w), 1);
    QTest::mouseMove(MainWindowProbe::directoryList(w)->viewport(), centreOf(*MainWindowProbe::directoryList(w), 0));
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), tipFor(QStringLiteral("Mead's Hall")));

    // Hovering the other entry does not change whom it names.
    select(*MainWindowProbe::directoryList(w), 0);
    QTest::mouseMove(MainWindowProbe::directoryList(w)->viewport(), centreOf(*MainWindowProbe::directoryList(w), 1));
    QCOMPARE(MainWindowProbe::directoryList(w)->toolTip(), QStringLiteral(" Double-Click to view the ''Ale'' forum "));

    // The tip the user sees over an entry is the list's.
    const QPoint over = centreOf(*MainWindowProbe::directoryList(w), 1);
    QHelpEvent help(QEvent::ToolTip, over, MainWindowProbe::directoryList(w)->viewport()->mapToGlobal(over));
    QApplication::sendEvent(MainWindowProbe::directoryList(w)->viewport(), &help);
    QTRY_COMPARE(QToolTip::text(), QStringLiteral(" Double-Click to view the ''Ale'' forum "));
}

QTEST_MAIN(DirectoryTest)
#include "tst_directory.moc"
