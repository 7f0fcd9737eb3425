// Forum creation against the fake server: the local checks, the create request
// on the wire, the two answers and every way the request can go wrong.
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "protocol/socket.h"
#include "ui/widgets/lineedit.h"
#include "windowfixture.h"

#include <QApplication>
#include <QTest>

namespace {

const QString forbiddenText = QStringLiteral("/ \\ : * ? \" < > | characters are not allowed.");
const QString existsText =
    QStringLiteral("This forum already exists in Tavernly.  Create a new and different forum.");
const QString limitedText =
    QStringLiteral("The server takes no more new forums from this computer for now.  Try again later.");
const QString createdText =
    QStringLiteral("You have created a new forum in Tavernly!  Begin now by posting a message.");
const QString connectionText = QStringLiteral(
    "Connection error.  Check your internet connection or visit http://tavernly.test/ for maintenance schedules.");

bool locked(const MainWindow &w)
{
    return !MainWindowProbe::forumNameEdit(w)->isEnabled() && !MainWindowProbe::createButton(w)->isEnabled() && !MainWindowProbe::postButton(w)->isEnabled();
}

// The pointer shows the busy cursor over the window.
bool busyPointer()
{
    return QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
}

bool unlocked(const MainWindow &w)
{
    return MainWindowProbe::forumNameEdit(w)->isEnabled() && MainWindowProbe::createButton(w)->isEnabled() && MainWindowProbe::postButton(w)->isEnabled() && MainWindowProbe::directoryList(w)->isEnabled();
}

// Types text key by key, any character (keyClicks takes Latin-1 only).
void type(QWidget *field, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

void create(MainWindow &w, const QString &name)
{
    MainWindowProbe::forumNameEdit(w)->setText(name);
    QTest::mouseClick(MainWindowProbe::createButton(w), Qt::LeftButton);
}

} // namespace

class CreateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusedNamesSendNothing_data();
    void refusedNamesSendNothing();
    void nameGoesOutAsTyped_data();
    void nameGoesOutAsTyped();
    void refusalUnlocksBeforeItsBox_data();
    void refusalUnlocksBeforeItsBox();
    void createdRefreshesTheDirectoryBeforeItsBox();
    void otherRepliesEndTheRequest_data();
    void otherRepliesEndTheRequest();
    void failuresUnlockWithOneBox_data();
    void failuresUnlockWithOneBox();
    void focusParkedByOneCreateIsNotKeptForTheNext();
};

void CreateTest::refusedNamesSendNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("placeholder") << QStringLiteral("<Enter the name of your forum here>") << forbiddenText;
    for (const QChar c : QStringLiteral("\"|><?:\\/*"))
        QTest::addRow("holds %c", c.toLatin1()) << QStringLiteral("Ale%1house").arg(c) << forbiddenText;
    QTest::newRow("forbidden at the end") << QStringLiteral("Ale house?") << forbiddenText;
    QTest::newRow("empty") << QString() << QStringLiteral("Give your forum a name.");
    // The server would cut such a name off, which looks like a broken network.
    QTest::newRow("invisible character")
        << QStringLiteral("Ale\u200Bhouse") << QStringLiteral("Invisible and control characters are not allowed.");
}

void CreateTest::refusedNamesSendNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::bodyEdit(w)->setFocus(); // the user went on to the body, then clicked Create

    create(w, name);
    QCOMPARE(f.dialogs.boxes.size(), 1);
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.kind, ScriptedDialogs::Box::Message);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));

    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::forumNameEdit(w));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), name);
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->selectedText(), name);
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::createExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(f.server.connectionCount(FakeServer::Create), 0);
}

void CreateTest::nameGoesOutAsTyped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("byEnter");
    QTest::newRow("blanks, click") << QStringLiteral("   ") << false;
    QTest::newRow("blanks, Enter") << QStringLiteral("   ") << true;
    QTest::newRow("spaces and case kept, click") << QStringLiteral(" Ale House ") << false;
    QTest::newRow("spaces and case kept, Enter") << QStringLiteral(" Ale House ") << true;
    QTest::newRow("non-ASCII, click") << QStringLiteral("Caf\u00e9 \u2615 \u00dcber") << false;
    QTest::newRow("non-ASCII, Enter") << QStringLiteral("Caf\u00e9 \u2615 \u00dcber") << true;
    QTest::newRow("punctuation outside the nine") << QStringLiteral("a.b,c;d!e'f(g)&%#@+=~") << false;
    QTest::newRow("emoji family, joiners and all")
        << QStringLiteral("Family \U0001F468\u200D\U0001F469\u200D\U0001F467") << false;
}

void CreateTest::nameGoesOutAsTyped()
{
    QFETCH(QString, name);
    QFETCH(bool, byEnter);
    WindowFixture f;
    f.server.reply(FakeServer::Create, "EXISTS", true);
    f.load();
    MainWindow &w = *f.window;

    if (byEnter) {
        // The hint is selected at start-up, so typing replaces it.
        type(MainWindowProbe::forumNameEdit(w), name);
        QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), name);
        QTest::keyClick(MainWindowProbe::forumNameEdit(w), Qt::Key_Return);
    } else {
        create(w, name);
    }
    QVERIFY(locked(w));
    QTRY_COMPARE(f.dialogs.messageTexts(), QStringList{existsText});
    QCOMPARE(f.server.requests(FakeServer::Create), QList<QByteArray>{name.toUtf8()});
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), name); // Enter left nothing behind
}

void CreateTest::refusalUnlocksBeforeItsBox_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("exists") << QByteArray("EXISTS") << existsText;
    // Not the connection error: nothing is wrong with the network.
    QTest::newRow("over the server's limit") << QByteArray("LIMITED") << limitedText;
}

// The name stays, selected, for a change or a later try.
void CreateTest::refusalUnlocksBeforeItsBox()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    WindowFixture f;
    f.server.reply(FakeServer::Create, reply, true);
    f.load();
    MainWindow &w = *f.window;
    QTRY_COMPARE(f.server.connectionCount(FakeServer::List), 1);

    bool unlockedWhileOpen = false;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) { unlockedWhileOpen = unlocked(w); };
    create(w, QStringLiteral("Mead Hall"));
    QTRY_COMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(unlockedWhileOpen);
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));

    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::forumNameEdit(w));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QStringLiteral("Mead Hall"));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->selectedText(), QStringLiteral("Mead Hall"));
    QTRY_COMPARE(f.server.closedCount(FakeServer::Create), 1); // the client hung up
    QCOMPARE(f.server.connectionCount(FakeServer::List), 1);   // no refresh
}

void CreateTest::createdRefreshesTheDirectoryBeforeItsBox()
{
    WindowFixture f;
    f.server.reply(FakeServer::Create, "CREATED", true);
    f.load();
    MainWindow &w = *f.window;
    QTRY_COMPARE(f.server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
    f.server.reply(FakeServer::List, "Ale*Mead Hall");

    bool lockedWhileOpen = false;
    bool busyPointerWhileOpen = true;
    QString nameWhileOpen = QStringLiteral("unset");
    bool listedWhileOpen = false;
    QList<QByteArray> listRequestsWhileOpen;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) {
        lockedWhileOpen = locked(w);
        busyPointerWhileOpen = busyPointer();
        nameWhileOpen = MainWindowProbe::forumNameEdit(w)->text();
        // The refresh was started before the box and goes on while it waits for the user.
        listedWhileOpen = QTest::qWaitFor([&] { return MainWindowProbe::directoryList(w)->entries().contains(QStringLiteral("Mead Hall")); });
        listRequestsWhileOpen = f.server.requests(FakeServer::List);
    };
    create(w, QStringLiteral("Mead Hall"));
    QTRY_COMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(lockedWhileOpen);
    QVERIFY(!busyPointerWhileOpen); // the work is over
    QCOMPARE(nameWhileOpen, QString());
    QVERIFY(listedWhileOpen);
    QCOMPARE(listRequestsWhileOpen, (QList<QByteArray>{"GETLIST", "GETLIST"}));
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.text, createdText);
    QCOMPARE(box.icon, Dialogs::Information);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));

    QVERIFY(unlocked(w));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QString());
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1); // the new forum is listed, not selected
    QTRY_COMPARE(f.server.closedCount(FakeServer::Create), 1);
}

void CreateTest::otherRepliesEndTheRequest_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    // The other replies the exchange cannot know are its own tests' rows.
    QTest::newRow("goes wrong in a later piece") << QList<QByteArray>{"CRE", "ATE!"};
}

// The server keeps the connection open and the limit is far away: only
// seeing that the reply can no longer be a known one ends the request.
void CreateTest::otherRepliesEndTheRequest()
{
    QFETCH(QList<QByteArray>, pieces);
    Timing timing = WindowFixture::fastTiming();
    timing.requestLimitMs = 600000;
    WindowFixture f(timing);
    FakeServer::Behaviour behaviour;
    behaviour.pieces = pieces;
    behaviour.pieceDelayMs = 100;
    behaviour.keepOpen = true;
    f.server.script(FakeServer::Create, behaviour);
    f.load();
    QTRY_COMPARE(f.server.connectionCount(FakeServer::List), 1);
    create(*f.window, QStringLiteral("Ale"));
    QTRY_COMPARE(f.dialogs.messageTexts(), QStringList{connectionText});
    QCOMPARE(f.dialogs.messages().first().icon, Dialogs::Warning);
    QVERIFY(unlocked(*f.window));
    QCOMPARE(MainWindowProbe::forumNameEdit(*f.window)->text(), QStringLiteral("Ale"));
    QTRY_COMPARE(f.server.closedCount(FakeServer::Create), 1);
    QCOMPARE(f.server.connectionCount(FakeServer::List), 1); // not taken for "CREATED"
}

void CreateTest::failuresUnlockWithOneBox_data()
{
    QTest::addColumn<int>("action");
    QTest::newRow("silent server") << int(FakeServer::Behaviour::Silent);
    QTest::newRow("closes without a reply") << int(FakeServer::Behaviour::Close);
    QTest::newRow("resets") << int(FakeServer::Behaviour::Reset);
    QTest::newRow("refused") << int(FakeServer::Behaviour::Refuse);
}

void CreateTest::failuresUnlockWithOneBox()
{
    QFETCH(int, action);
    WindowFixture f; // the request limit is 1.5 s here
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Action(action));
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(!busyPointer());
    create(w, QStringLiteral("Ale"));
    QVERIFY(locked(w));
    QVERIFY(busyPointer());
    bool busyPointerWhileOpen = true;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) { busyPointerWhileOpen = busyPointer(); };
    QTRY_COMPARE(f.dialogs.messageTexts(), QStringList{connectionText});
    QVERIFY(!busyPointerWhileOpen);
    QVERIFY(!busyPointer());
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
    QVERIFY(unlocked(w));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QStringLiteral("Ale"));
    QCOMPARE(MainWindowProbe::createExchange(w)->socket().state(), QAbstractSocket::UnconnectedState);

    // Nothing is pending any more: the window works as before.
    f.server.reply(FakeServer::Create, "EXISTS");
    create(w, QStringLiteral("Mead"));
    QTRY_COMPARE(f.dialogs.messageTexts(), (QStringList{connectionText, existsText}));
}

// Each busy period gives the focus back to where it was when that period
// began, not to where an earlier one found it.
void CreateTest::focusParkedByOneCreateIsNotKeptForTheNext()
{
    WindowFixture f;
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Reset);
    f.load();
    MainWindow &w = *f.window;

    MainWindowProbe::bodyEdit(w)->setFocus();
    create(w, QStringLiteral("Ale")); // the picture button takes no focus
    QTRY_COMPARE(f.dialogs.messageTexts(), QStringList{connectionText});
    QVERIFY(unlocked(w));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));

    MainWindowProbe::titleEdit(w)->setFocus();
    create(w, QStringLiteral("Mead"));
    QTRY_COMPARE(f.dialogs.messageTexts(), (QStringList{connectionText, connectionText}));
    QVERIFY(unlocked(w));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
}

QTEST_MAIN(CreateTest)
#include "tst_create.moc"
