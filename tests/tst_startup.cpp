// Start-up, the directory refresh, the busy state and the window's make-up.
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "protocol/listexchange.h"
#include "protocol/socket.h"
#include "postdriver.h"
#include "windowfixture.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>

namespace {

// Counts the socket events being handled, so that a box can tell whether one
// is under it on the stack. Pages load on a thread of their own: per thread.
class SocketEventCounter : public QApplication
{
public:
    using QApplication::QApplication;
    static inline thread_local int underway = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const bool socketEvent = event->type() == QEvent::SockAct || event->type() == QEvent::SockClose;
        underway += socketEvent;
        const bool handled = QApplication::notify(receiver, event);
        underway -= socketEvent;
        return handled;
    }
};

// Runs a nested event loop, as a modal box does, until the condition holds.
bool runNestedUntil(const std::function<bool()> &condition, int timeoutMs = 60000)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(0);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startUpFocusesTheNameWithItsHintSelected_data();
    void startUpFocusesTheNameWithItsHintSelected();
    void startUpAsksForTheListAndTheStartPage();
    void unreachableServerGivesOneBoxPerAttempt();
    void failingTicksUnderAnOpenBoxAddNoOther();
    void boxesOpenOnceTheSocketEventIsOver_data();
    void boxesOpenOnceTheSocketEventIsOver();
    void tickRestartsAnExchangeStillUnderWay();
    void busyStateLocksExactlyNineControls();
    void oneLeaveBusyEndsAnyNumberOfEnterBusy();
    void windowHasItsFixedSizeAndCaptions();
    void toolTipsKeepTheirSpaces();
    void tabVisitsTheFieldsInOrder();
    void controlsHaveAccessibleNames();
};

void StartupTest::startUpFocusesTheNameWithItsHintSelected_data()
{
    QTest::addColumn<bool>("draftBefore");
    QTest::newRow("first start") << false;
    // fault: the draft put back at start-up takes the focus or the selection
    QTest::newRow("with a draft from before") << true;
}

void StartupTest::startUpFocusesTheNameWithItsHintSelected()
{
    QFETCH(bool, draftBefore);
    QTemporaryDir data;
    if (draftBefore) {
        WindowFixture before;
        before.window->setDataFolder(data.path());
        MainWindowProbe::titleEdit(*before.window)->setText(QStringLiteral("Half a title"));
        MainWindowProbe::bodyEdit(*before.window)->setText(QStringLiteral("Half a body"));
        MainWindowProbe::composer(*before.window)->stop(); // as closing the window does
    }
    WindowFixture f;
    f.window->setDataFolder(data.path());
    f.load();
    QCOMPARE(MainWindowProbe::titleEdit(*f.window)->text(), draftBefore ? QStringLiteral("Half a title") : QString());
    QCOMPARE(MainWindowProbe::bodyEdit(*f.window)->text(), draftBefore ? QStringLiteral("Half a body") : QString());
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::forumNameEdit(*f.window));
    QCOMPARE(MainWindowProbe::forumNameEdit(*f.window)->text(), QStringLiteral("<Enter the name of your forum here>"));
    QCOMPARE(MainWindowProbe::forumNameEdit(*f.window)->selectedText(), MainWindowProbe::forumNameEdit(*f.window)->text());

    // The first key typed replaces the hint.
    QTest::keyClick(MainWindowProbe::forumNameEdit(*f.window), Qt::Key_A);
    QCOMPARE(MainWindowProbe::forumNameEdit(*f.window)->text(), QStringLiteral("a"));
}

void StartupTest::startUpAsksForTheListAndTheStartPage()
{
    WindowFixture f;
    f.server.setPage("/dn.htm", "<h1>Welcome to the tavern</h1>");
    f.load();
    QTRY_COMPARE(f.server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
    QTRY_VERIFY(f.server.httpPaths().contains(QStringLiteral("/dn.htm")));
    QTRY_VERIFY(MainWindowProbe::pageView(*f.window)->toPlainText().contains(QStringLiteral("Welcome to the tavern")));
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void StartupTest::unreachableServerGivesOneBoxPerAttempt()
{
    WindowFixture f;
    f.server.script(FakeServer::List, FakeServer::Behaviour::Refuse);
    f.load();
    QTRY_COMPARE(f.dialogs.messages().size(), 1);
    const ScriptedDialogs::Box box = f.dialogs.messages().first();
    QCOMPARE(box.text, QStringLiteral("Connection error.  Check your internet connection or visit "
                                      "http://tavernly.test/ for maintenance schedules."));
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));

    MainWindowProbe::refreshDirectory(*f.window);
    QTRY_COMPARE(f.dialogs.messages().size(), 2);
    QVERIFY(MainWindowProbe::directoryList(*f.window)->entries().isEmpty());
    QVERIFY(MainWindowProbe::forumNameEdit(*f.window)->isEnabled());
    QVERIFY(MainWindowProbe::postButton(*f.window)->isEnabled());
}

// The user leaves the first box open while the refresh fails dozens of
// times underneath it; the box's own event loop keeps the window alive.
void StartupTest::failingTicksUnderAnOpenBoxAddNoOther()
{
    WindowFixture f;
    f.server.script(FakeServer::List, FakeServer::Behaviour::Refuse);
    f.load();
    QTRY_COMPARE(f.dialogs.messages().size(), 1); // closed at once

    QSignalSpy failures(&MainWindowProbe::listExchange(*f.window)->socket(), &Socket::error);
    const int refusals = 40;
    int open = 0;
    int mostOpen = 0;
    QStringList listedUnderTheBox;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) {
        mostOpen = std::max(mostOpen, ++open);
        if (f.dialogs.messages().size() == 2) {
            QVERIFY(runNestedUntil([&] { return failures.size() >= refusals; }));
            // A refresh that works meanwhile still fills the directory.
            MainWindowProbe::refreshTimer(*f.window)->stop();
            f.server.reply(FakeServer::List, "Ale*Mead");
            MainWindowProbe::refreshDirectory(*f.window);
            runNestedUntil([&] { return !MainWindowProbe::directoryList(*f.window)->entries().isEmpty(); }, 5000);
            listedUnderTheBox = MainWindowProbe::directoryList(*f.window)->entries();
            f.server.script(FakeServer::List, FakeServer::Behaviour::Refuse);
            MainWindowProbe::refreshTimer(*f.window)->start();
        } else if (f.dialogs.messages().size() == 3) {
            MainWindowProbe::refreshTimer(*f.window)->stop(); // enough: the test looks at what is left
        }
        --open;
    };
    Timing timing = WindowFixture::fastTiming();
    timing.refreshMs = 1;
    f.window->setTiming(timing);

    // Once the user has closed it, the next failing tick shows it again.
    QTRY_VERIFY_WITH_TIMEOUT(f.dialogs.messages().size() == 3, 90000);
    QCOMPARE(mostOpen, 1);
    QVERIFY(failures.size() >= refusals);
    QCOMPARE(listedUnderTheBox, (QStringList{"Ale", "Mead"}));
    QCOMPARE(MainWindowProbe::directoryList(*f.window)->entries(), (QStringList{"Ale", "Mead"}));
    // A refusal still on its way would show a fourth box once the exchange ends.
    const ListExchange *exchange = MainWindowProbe::listExchange(*f.window);
    QTRY_VERIFY(!exchange->timing() && exchange->socket().state() == QAbstractSocket::UnconnectedState);
    QCoreApplication::processEvents();
    QCOMPARE(f.dialogs.messages().size(), 3);
}

void StartupTest::boxesOpenOnceTheSocketEventIsOver_data()
{
    QTest::addColumn<QString>("request"); // list, create or post
    QTest::addColumn<FakeServer::Behaviour>("server");
    QTest::addColumn<int>("boxes");
    using Action = FakeServer::Behaviour::Action;
    QTest::newRow("directory refused") << "list" << serve(Action::Refuse) << 1;
    QTest::newRow("forum created") << "create" << serve(Action::Reply, {"CREATED"}) << 1;
    QTest::newRow("forum exists") << "create" << serve(Action::Reply, {"EXISTS"}) << 1;
    QTest::newRow("create refused") << "create" << serve(Action::Refuse) << 1;
    QTest::newRow("message posted") << "post" << serve(Action::Close) << 2; // the content warning first
    QTest::newRow("post refused") << "post" << serve(Action::Refuse) << 2;
}

// A box runs its own event loop: opened from inside a socket's event, it would
// hold that event on the stack while the next refresh restarts the socket.
void StartupTest::boxesOpenOnceTheSocketEventIsOver()
{
    QFETCH(QString, request);
    QFETCH(FakeServer::Behaviour, server);
    QFETCH(int, boxes);
    WindowFixture f;
    QList<int> underway;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) { underway.append(SocketEventCounter::underway); };
    MainWindow &w = *f.window;
    if (request == u"list") {
        f.server.script(FakeServer::List, server);
        f.load();
    } else if (request == u"create") {
        f.load();
        f.server.script(FakeServer::Create, server);
        postdriver::type(MainWindowProbe::forumNameEdit(w), QStringLiteral("Brewers"));
        postdriver::click(MainWindowProbe::createButton(w));
    } else {
        f.load();
        QVERIFY(f.fillDirectory({QStringLiteral("Ale")}));
        f.server.script(FakeServer::Post, server);
        postdriver::selectForum(w, 0);
        postdriver::compose(w, QStringLiteral("Hello"), QStringLiteral("there"));
        postdriver::click(MainWindowProbe::postButton(w));
    }
    QTRY_COMPARE(f.dialogs.messages().size(), boxes);
    QCOMPARE(underway, QList<int>(boxes, 0));
}

void StartupTest::tickRestartsAnExchangeStillUnderWay()
{
    WindowFixture f;
    f.server.script(FakeServer::List, FakeServer::Behaviour::Silent);
    f.load();
    QTRY_COMPARE(f.server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});

    f.server.reply(FakeServer::List, "Ale*Mead");
    MainWindowProbe::refreshDirectory(*f.window);
    QTRY_COMPARE(MainWindowProbe::directoryList(*f.window)->entries(), (QStringList{"Ale", "Mead"}));
    QCOMPARE(f.server.requests(FakeServer::List), (QList<QByteArray>{"GETLIST", "GETLIST"}));
    QTRY_COMPARE(f.server.closedCount(FakeServer::List), 2); // the abandoned one was dropped
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void StartupTest::busyStateLocksExactlyNineControls()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::enterBusy(w);
    const QList<QWidget *> locked{MainWindowProbe::directoryList(w), MainWindowProbe::forumNameEdit(w), MainWindowProbe::titleEdit(w), MainWindowProbe::bodyEdit(w), MainWindowProbe::stampOption(w),
                                  MainWindowProbe::createButton(w), MainWindowProbe::clearNameButton(w), MainWindowProbe::clearMessageButton(w), MainWindowProbe::postButton(w)};
    for (QWidget *control : locked)
        QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
    const QList<QWidget *> free{MainWindowProbe::boldButton(w), MainWindowProbe::italicButton(w), MainWindowProbe::underlineButton(w), MainWindowProbe::linkButton(w),
                                MainWindowProbe::imageButton(w), MainWindowProbe::previewButton(w),  MainWindowProbe::stampLabel(w),       MainWindowProbe::pageView(w)};
    for (QWidget *control : free)
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
    QVERIFY(MainWindowProbe::refreshTimer(w)->isActive());

    // A locked picture button ignores the mouse altogether.
    const QPixmap face = MainWindowProbe::postButton(w)->picture();
    QSignalSpy clicks(MainWindowProbe::postButton(w), &PictureButton::clicked);
    QTest::mousePress(MainWindowProbe::postButton(w), Qt::LeftButton);
    QVERIFY(MainWindowProbe::postButton(w)->picture().toImage() == face.toImage());
    QTest::mouseRelease(MainWindowProbe::postButton(w), Qt::LeftButton);
    QCOMPARE(clicks.size(), 0);
}

void StartupTest::oneLeaveBusyEndsAnyNumberOfEnterBusy()
{
    WindowFixture f;
    f.load();
    MainWindowProbe::enterBusy(*f.window);
    MainWindowProbe::enterBusy(*f.window);
    MainWindowProbe::leaveBusy(*f.window);
    for (QWidget *control : QList<QWidget *>{MainWindowProbe::directoryList(*f.window), MainWindowProbe::forumNameEdit(*f.window), MainWindowProbe::titleEdit(*f.window), MainWindowProbe::bodyEdit(*f.window),
                                             MainWindowProbe::stampOption(*f.window), MainWindowProbe::createButton(*f.window), MainWindowProbe::clearNameButton(*f.window),
                                             MainWindowProbe::clearMessageButton(*f.window), MainWindowProbe::postButton(*f.window)})
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
}

void StartupTest::windowHasItsFixedSizeAndCaptions()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QCOMPARE(w.windowTitle(), QStringLiteral("Tavernly"));
    QCOMPARE(w.size(), QSize(682, 535));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!w.windowIcon().isNull());

    QCOMPARE(MainWindowProbe::bodyCaption(w)->text(), QStringLiteral("Message Body"));
    QCOMPARE(MainWindowProbe::titleCaption(w)->text(), QStringLiteral("Message Title"));
    QCOMPARE(MainWindowProbe::stampLabel(w)->text(), QStringLiteral("Include Date & Time Stamp"));
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->maxLength(), 40);
    QCOMPARE(MainWindowProbe::titleEdit(w)->maxLength(), 60);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->maxLength(), 1000);

    QCOMPARE(MainWindowProbe::directoryList(w)->geometry(), QRect(8, 8, 225, 274));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->geometry(), QRect(240, 149, 433, 107));
    QCOMPARE(MainWindowProbe::postButton(w)->geometry(), QRect(576, 259, 95, 22));
    QCOMPARE(MainWindowProbe::stampOption(w)->geometry(), QRect(527, 106, 14, 14));
    QCOMPARE(MainWindowProbe::pageView(w)->geometry(), QRect(8, 288, 665, 241));
    QCOMPARE(MainWindowProbe::toolbarStrip(w)->geometry(), QRect(240, 259, 223, 22));

    // Every picture button starts with its normal face; the check box is off.
    for (const QPixmap *face : {&MainWindowProbe::faces(w).postUp, &MainWindowProbe::faces(w).postDown, &MainWindowProbe::faces(w).checkUp, &MainWindowProbe::faces(w).checkDown, &MainWindowProbe::faces(w).clearUp})
        QVERIFY(!face->isNull());
    QCOMPARE(MainWindowProbe::postButton(w)->picture().toImage(), MainWindowProbe::faces(w).postUp.toImage());
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkUp.toImage());
    QCOMPARE(MainWindowProbe::stampWanted(w), false);
    QCOMPARE(MainWindowProbe::tagsAwaitingClose(w), QList<bool>({false, false, false, false}));
    QCOMPARE(MainWindowProbe::faces(w).linkDown.size(), QSize(35, 17));
    QCOMPARE(MainWindowProbe::faces(w).previewDown.size(), QSize(50, 18));
}

void StartupTest::toolTipsKeepTheirSpaces()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    const QString stamp = QStringLiteral(" Place A Check Here To Include A Date & Time Stamp In Your Post ");
    QCOMPARE(MainWindowProbe::stampOption(w)->toolTip(), stamp);
    QCOMPARE(MainWindowProbe::stampLabel(w)->toolTip(), stamp);
    QCOMPARE(MainWindowProbe::boldButton(w)->toolTip(), QStringLiteral(" Add/Close Bold Font Style "));
    QCOMPARE(MainWindowProbe::underlineButton(w)->toolTip(), QStringLiteral(" Add/Close Underline Font Style "));
    QCOMPARE(MainWindowProbe::italicButton(w)->toolTip(), QStringLiteral(" Add/Close Italicize Font Style "));
    QCOMPARE(MainWindowProbe::linkButton(w)->toolTip(), QStringLiteral(" Add/Close Link Insert "));
    QCOMPARE(MainWindowProbe::imageButton(w)->toolTip(), QStringLiteral(" Add Image Insert "));
    QCOMPARE(MainWindowProbe::previewButton(w)->toolTip(), QStringLiteral(" Preview Your Post "));
    QVERIFY(MainWindowProbe::postButton(w)->toolTip().isEmpty());
    QVERIFY(MainWindowProbe::directoryList(w)->toolTip().isEmpty());
}

void StartupTest::tabVisitsTheFieldsInOrder()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QList<QWidget *> order{MainWindowProbe::titleEdit(w), MainWindowProbe::bodyEdit(w), MainWindowProbe::directoryList(w), MainWindowProbe::pageView(w)};
    for (QWidget *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    // Picture buttons never take the focus.
    QCOMPARE(MainWindowProbe::postButton(w)->focusPolicy(), Qt::NoFocus);
}

void StartupTest::controlsHaveAccessibleNames()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    QCOMPARE(MainWindowProbe::postButton(w)->accessibleName(), QStringLiteral("Post"));
    QCOMPARE(MainWindowProbe::createButton(w)->accessibleName(), QStringLiteral("Create"));
    QCOMPARE(MainWindowProbe::titleEdit(w)->accessibleName(), QStringLiteral("Message Title"));
    QCOMPARE(MainWindowProbe::directoryList(w)->accessibleName(), QStringLiteral("Forum directory"));
    for (QWidget *control : w.findChildren<QWidget *>()) {
        if (control->focusPolicy() != Qt::NoFocus || qobject_cast<PictureButton *>(control))
            if (control->parentWidget() == &w)
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
    }
}

int main(int argc, char *argv[])
{
    SocketEventCounter app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    StartupTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_startup.moc"
