// The fault matrix, list and create: each way a server can misbehave, met by
// the real window, with the same promises every time: the program goes on,
// the window is not left locked, what the user typed stays, the directory
// shows a whole reply or the one before, and a failure gives one box.
#include "faultmatrix.h"

#include <QSignalSpy>

using namespace faultmatrix;

namespace {

const QString createdText =
    QStringLiteral("You have created a new forum in Tavernly!  Begin now by posting a message.");
const QString existsText =
    QStringLiteral("This forum already exists in Tavernly.  Create a new and different forum.");

// A long directory; cut into single bytes, its letters beyond ASCII are cut too.
const QStringList longList{"Stout", "Porter", "Wine Cellar", "Bock", QStringLiteral("Bi\u00e8re"), "Lager",
                           "Mild", "Barley Wine", QStringLiteral("Caf\u00e9 \u2615")};

QStringList megabyteOfNames()
{
    QStringList names;
    for (int i = 0; i < 10000; ++i)
        names.append(QStringLiteral("Forum %1 ").arg(i).leftJustified(104, u'='));
    return names;
}

QByteArray replyOf(const QStringList &names)
{
    return names.join(u'*').toUtf8();
}

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void list_data();
    void list();
    void create_data();
    void create();
};

void FaultMatrixTest::list_data()
{
    QTest::addColumn<FakeServer::Behaviour>("server");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("boxes");

    const QStringList none;
    const QStringList failed{connectionError};
    QTest::newRow("connection refused") << serve(Action::Refuse) << previous << failed;
    // Past the exchange's limit the refresh has failed.
    QTest::newRow("accepted then silent") << serve(Action::Silent) << previous << failed;
    QTest::newRow("trickles without end")
        << serve(Action::Reply, QList<QByteArray>(200, "Zz*"), 100, true) << previous << failed;
    QTest::newRow("reset in the middle of the reply")
        << serve(Action::Reset, {"Stout*Porter*Wi"}, 5) << previous << failed;
    QTest::newRow("closed without a reply") << serve(Action::Close) << previous << none;
    // 3 ms apart, far inside the 50 ms after which a quiet reply counts as whole.
    QTest::newRow("1-byte pieces, then closed")
        << serve(Action::Reply, bytewise(replyOf(longList)), 3) << longList << none;
    QTest::newRow("1-byte pieces, then quiet")
        << serve(Action::Reply, bytewise(replyOf(longList)), 3, true) << longList << none;
    const QStringList megabyte = megabyteOfNames();
    QTest::newRow("1 MB reply") << serve(Action::Reply, {replyOf(megabyte)}) << megabyte << none;
    QTest::newRow("invalid UTF-8 and NUL bytes")
        << serve(Action::Reply, {bytes("Stout\xff*Por\0ter*Bi\xc3\xa8re*\xc3")})
        << QStringList{QStringLiteral("Stout\ufffd"), QStringLiteral("Por") + QChar(0) + QStringLiteral("ter"),
                       QStringLiteral("Bi\u00e8re"), QStringLiteral("\ufffd")}
        << none;
}

// A tick of the refresh meets the server; the window is never locked by it.
void FaultMatrixTest::list()
{
    QFETCH(FakeServer::Behaviour, server);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, boxes);
    WindowFixture f(matrixTiming());
    prepare(f);
    if (QTest::currentTestFailed())
        return;
    MainWindow &w = *f.window;
    postdriver::selectForum(w, 1);

    Watch watch(f, {previous, listed}, false);
    QSignalSpy peerClosed(&MainWindowProbe::listExchange(w)->socket(), &Socket::peerClosed);
    QSignalSpy arrivals(&MainWindowProbe::listExchange(w)->socket(), &Socket::dataReceived);
    f.server.script(FakeServer::List, server);
    MainWindowProbe::refreshDirectory(w);
    QTRY_VERIFY_WITH_TIMEOUT(f.dialogs.messageTexts() == boxes && MainWindowProbe::directoryList(w)->entries() == listed, 10000);
    // Where nothing visible happens, wait for the server's part to be played.
    if (server.action == Action::Silent) {
        QTRY_COMPARE(f.server.requests(FakeServer::List).value(1), QByteArray("GETLIST"));
        QTRY_VERIFY(watch.samples >= 50); // watched well past the quiet time
    }
    if (server.action == Action::Close)
        QTRY_COMPARE(peerClosed.size(), 1);
    checkWatch(watch);
    if (QTest::currentTestFailed())
        return;

    if (server.action == Action::Reset)
        QVERIFY(!arrivals.isEmpty()); // the reset cut a reply the client had begun to read
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), typedName);
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), typedTitle);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), keptBody);
    // A refresh that failed leaves the selection; one that succeeded rebuilt the list.
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), listed == previous ? QStringLiteral("Mead") : QString());
    stillWorks(f);
}

void FaultMatrixTest::create_data()
{
    QTest::addColumn<FakeServer::Behaviour>("server");
    QTest::addColumn<QStringList>("boxes");

    const QStringList failed{connectionError};
    QTest::newRow("connection refused") << serve(Action::Refuse) << failed;
    QTest::newRow("accepted then silent") << serve(Action::Silent) << failed;
    QTest::newRow("reset in the middle of the reply") << serve(Action::Reset, {"CRE"}, 5) << failed;
    QTest::newRow("closed without a reply") << serve(Action::Close) << failed;
    QTest::newRow("CREATED in 1-byte pieces") << serve(Action::Reply, bytewise("CREATED"), 3, true)
                                              << QStringList{createdText};
    QTest::newRow("EXISTS in 1-byte pieces") << serve(Action::Reply, bytewise("EXISTS"), 3, true)
                                             << QStringList{existsText};
    QTest::newRow("1 MB reply") << serve(Action::Reply, {QByteArray("CREATED").repeated(150000)}) << failed;
    QTest::newRow("invalid UTF-8") << serve(Action::Reply, {"CRE\xff" "ATED"}, 0, true) << failed;
    QTest::newRow("NUL byte") << serve(Action::Reply, {bytes("CREATED\0")}, 0, true) << failed;
    QTest::newRow("CREATED and a line break") << serve(Action::Reply, {"CREATED\r\n"}, 0, true) << failed;
    QTest::newRow("created") << serve(Action::Reply, {"created"}, 0, true) << failed;
}

// A click on Create meets the server. Only "CREATED" empties the name and
// refreshes the directory; every other end keeps the name for another try.
void FaultMatrixTest::create()
{
    QFETCH(FakeServer::Behaviour, server);
    QFETCH(QStringList, boxes);
    const bool created = boxes.first() == createdText;
    const QStringList next{"Ale", "Brewers", "Mead"};
    WindowFixture f(matrixTiming());
    prepare(f);
    if (QTest::currentTestFailed())
        return;
    MainWindow &w = *f.window;

    Watch watch(f, {previous, next}, true);
    QSignalSpy arrivals(&MainWindowProbe::createExchange(w)->socket(), &Socket::dataReceived);
    f.server.script(FakeServer::Create, server);
    f.server.reply(FakeServer::List, replyOf(next));
    postdriver::click(MainWindowProbe::createButton(w));
    QVERIFY(!unlocked(w));
    QTRY_VERIFY_WITH_TIMEOUT(f.dialogs.messageTexts() == boxes && unlocked(w), lockBudgetMs());
    QTRY_COMPARE(MainWindowProbe::directoryList(w)->entries(), created ? next : previous);
    checkWatch(watch);
    if (QTest::currentTestFailed())
        return;

    if (server.action == Action::Reset)
        QVERIFY(!arrivals.isEmpty()); // the reset cut a reply the client had begun to read
    const ScriptedDialogs::Box box = f.dialogs.messages().first();
    QCOMPARE(box.icon, created ? Dialogs::Information : Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
    QCOMPARE(f.server.requests(FakeServer::Create).value(0), server.action == Action::Refuse
                                                                 ? QByteArray()
                                                                 : typedName.toUtf8());
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), created ? QString() : typedName);
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), typedTitle);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), keptBody);
    QCOMPARE(MainWindowProbe::createExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(f.server.connectionCount(FakeServer::List), created ? 3 : 2);
    stillWorks(f);
}

QTEST_MAIN(FaultMatrixTest)
#include "tst_faultmatrix.moc"
