// Start-up, the directory refresh, the busy state and the window's make-up.
#include "platform/clicklabel.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/socket.h"
#include "platform/textbox.h"
#include "windowfixture.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <functional>

namespace {

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
    void startUpFocusesTheNameWithItsHintSelected();
    void startUpAsksForTheListAndTheStartPage();
    void unreachableServerGivesOneBoxPerAttempt();
    void failingTicksUnderAnOpenBoxAddNoOther();
    void tickRestartsAnExchangeStillUnderWay();
    void busyStateLocksExactlyNineControls();
    void oneEnableAllEndsAnyNumberOfDisableAll();
    void windowHasItsFixedSizeAndCaptions();
    void toolTipsKeepTheirSpaces();
    void tabVisitsTheFieldsInOrder();
    void controlsHaveAccessibleNames();
};

void StartupTest::startUpFocusesTheNameWithItsHintSelected()
{
    WindowFixture f;
    f.load();
    QCOMPARE(QApplication::focusWidget(), f.window->Text1);
    QCOMPARE(f.window->Text1->text(), QStringLiteral("<Enter the name of your forum here>"));
    QCOMPARE(f.window->Text1->selectedText(), f.window->Text1->text());

    // The first key typed replaces the hint.
    QTest::keyClick(f.window->Text1, Qt::Key_A);
    QCOMPARE(f.window->Text1->text(), QStringLiteral("a"));
}

void StartupTest::startUpAsksForTheListAndTheStartPage()
{
    WindowFixture f;
    f.server.setPage("/dn.htm", "<h1>Welcome to the tavern</h1>");
    f.load();
    QTRY_COMPARE(f.server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});
    QTRY_VERIFY(f.server.httpPaths().contains(QStringLiteral("/dn.htm")));
    QTRY_VERIFY(f.window->Web1->toPlainText().contains(QStringLiteral("Welcome to the tavern")));
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

    f.window->Timer1_Timer();
    QTRY_COMPARE(f.dialogs.messages().size(), 2);
    QVERIFY(f.window->List1->entries().isEmpty());
    QVERIFY(f.window->Text1->isEnabled());
    QVERIFY(f.window->btnPost->isEnabled());
}

// The user leaves the first box open while the refresh fails thousands of
// times underneath it; the box's own event loop keeps the window alive.
void StartupTest::failingTicksUnderAnOpenBoxAddNoOther()
{
    WindowFixture f;
    f.server.script(FakeServer::List, FakeServer::Behaviour::Refuse);
    f.load();
    QTRY_COMPARE(f.dialogs.messages().size(), 1); // closed at once

    QSignalSpy failures(f.window->sckGetList, &Socket::error);
    int open = 0;
    int mostOpen = 0;
    QStringList listedUnderTheBox;
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) {
        mostOpen = std::max(mostOpen, ++open);
        if (f.dialogs.messages().size() == 2) {
            QVERIFY(runNestedUntil([&] { return failures.size() >= 3000; }));
            // A refresh that works meanwhile still fills the directory.
            f.window->Timer1->stop();
            f.server.reply(FakeServer::List, "Ale*Mead");
            f.window->Timer1_Timer();
            runNestedUntil([&] { return !f.window->List1->entries().isEmpty(); }, 5000);
            listedUnderTheBox = f.window->List1->entries();
            f.server.script(FakeServer::List, FakeServer::Behaviour::Refuse);
            f.window->Timer1->start();
        } else if (f.dialogs.messages().size() == 3) {
            f.window->Timer1->stop(); // enough: the test looks at what is left
        }
        --open;
    };
    Timing timing = WindowFixture::fastTiming();
    timing.refreshMs = 1;
    f.window->setTiming(timing);

    // Once the user has closed it, the next failing tick shows it again.
    QTRY_VERIFY_WITH_TIMEOUT(f.dialogs.messages().size() == 3, 90000);
    QCOMPARE(mostOpen, 1);
    QVERIFY(failures.size() >= 3000);
    QCOMPARE(listedUnderTheBox, (QStringList{"Ale", "Mead"}));
    QCOMPARE(f.window->List1->entries(), (QStringList{"Ale", "Mead"}));
    QTest::qWait(50); // a refusal still on its way
    QCOMPARE(f.dialogs.messages().size(), 3);
}

void StartupTest::tickRestartsAnExchangeStillUnderWay()
{
    WindowFixture f;
    f.server.script(FakeServer::List, FakeServer::Behaviour::Silent);
    f.load();
    QTRY_COMPARE(f.server.requests(FakeServer::List), QList<QByteArray>{"GETLIST"});

    f.server.reply(FakeServer::List, "Ale*Mead");
    f.window->Timer1_Timer();
    QTRY_COMPARE(f.window->List1->entries(), (QStringList{"Ale", "Mead"}));
    QCOMPARE(f.server.requests(FakeServer::List), (QList<QByteArray>{"GETLIST", "GETLIST"}));
    QTRY_COMPARE(f.server.closedCount(FakeServer::List), 2); // the abandoned one was dropped
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void StartupTest::busyStateLocksExactlyNineControls()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    w.DisableAll();
    const QList<QWidget *> locked{w.List1, w.Text1, w.Text2, w.Text3, w.btnCheck,
                                  w.btnCreate, w.btnClear, w.btnClear2, w.btnPost};
    for (QWidget *control : locked)
        QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
    const QList<QWidget *> free{w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnLINK,
                                w.btnIMAGE, w.btnView,  w.Label3,       w.Web1};
    for (QWidget *control : free)
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
    QVERIFY(w.Timer1->isActive());

    // A locked picture button ignores the mouse altogether.
    const QPixmap face = w.btnPost->picture();
    QSignalSpy clicks(w.btnPost, &PictureButton::clicked);
    QTest::mousePress(w.btnPost, Qt::LeftButton);
    QVERIFY(w.btnPost->picture().toImage() == face.toImage());
    QTest::mouseRelease(w.btnPost, Qt::LeftButton);
    QCOMPARE(clicks.size(), 0);
}

void StartupTest::oneEnableAllEndsAnyNumberOfDisableAll()
{
    WindowFixture f;
    f.load();
    f.window->DisableAll();
    f.window->DisableAll();
    f.window->EnableAll();
    for (QWidget *control : QList<QWidget *>{f.window->List1, f.window->Text1, f.window->Text2, f.window->Text3,
                                             f.window->btnCheck, f.window->btnCreate, f.window->btnClear,
                                             f.window->btnClear2, f.window->btnPost})
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
}

void StartupTest::windowHasItsFixedSizeAndCaptions()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QCOMPARE(w.windowTitle(), QStringLiteral("Tavernly"));
    QCOMPARE(w.size(), QSize(682, 535));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!w.windowIcon().isNull());

    QCOMPARE(w.Label1->text(), QStringLiteral("Message Body"));
    QCOMPARE(w.Label2->text(), QStringLiteral("Message Title"));
    QCOMPARE(w.Label3->text(), QStringLiteral("Include Date & Time Stamp"));
    QCOMPARE(w.Text1->maxLength(), 40);
    QCOMPARE(w.Text2->maxLength(), 60);
    QCOMPARE(w.Text3->maxLength(), 1000);

    QCOMPARE(w.List1->geometry(), QRect(8, 8, 225, 274));
    QCOMPARE(w.Text3->geometry(), QRect(240, 149, 433, 107));
    QCOMPARE(w.btnPost->geometry(), QRect(576, 259, 95, 22));
    QCOMPARE(w.btnCheck->geometry(), QRect(527, 106, 14, 14));
    QCOMPARE(w.Web1->geometry(), QRect(8, 288, 665, 241));
    QCOMPARE(w.Image3->geometry(), QRect(240, 259, 223, 22));

    // Every picture button starts with its normal face; the check box is off.
    for (const QPixmap *face : {&w.imgPostUP, &w.imgPostDOWN, &w.imgCheckUP, &w.imgCheckDOWN, &w.imgClearUP})
        QVERIFY(!face->isNull());
    QCOMPARE(w.btnPost->picture().toImage(), w.imgPostUP.toImage());
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckUP.toImage());
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("UN"));
    for (PictureButton *toggle : {w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnLINK})
        QCOMPARE(toggle->Tag(), QStringLiteral("OPEN"));
    QCOMPARE(w.imgLinkDOWN.size(), QSize(35, 17));
    QCOMPARE(w.imgViewDOWN.size(), QSize(50, 18));
}

void StartupTest::toolTipsKeepTheirSpaces()
{
    WindowFixture f;
    Form1 &w = *f.window;
    const QString stamp = QStringLiteral(" Place A Check Here To Include A Date & Time Stamp In Your Post ");
    QCOMPARE(w.btnCheck->toolTip(), stamp);
    QCOMPARE(w.Label3->toolTip(), stamp);
    QCOMPARE(w.btnBOLD->toolTip(), QStringLiteral(" Add/Close Bold Font Style "));
    QCOMPARE(w.btnUNDERLINE->toolTip(), QStringLiteral(" Add/Close Underline Font Style "));
    QCOMPARE(w.btnITALIC->toolTip(), QStringLiteral(" Add/Close Italicize Font Style "));
    QCOMPARE(w.btnLINK->toolTip(), QStringLiteral(" Add/Close Link Insert "));
    QCOMPARE(w.btnIMAGE->toolTip(), QStringLiteral(" Add Image Insert "));
    QCOMPARE(w.btnView->toolTip(), QStringLiteral(" Preview Your Post "));
    QVERIFY(w.btnPost->toolTip().isEmpty());
    QVERIFY(w.List1->toolTip().isEmpty());
}

void StartupTest::tabVisitsTheFieldsInOrder()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    const QList<QWidget *> order{w.Text2, w.Text3, w.List1, w.Web1};
    for (QWidget *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    // Picture buttons never take the focus.
    QCOMPARE(w.btnPost->focusPolicy(), Qt::NoFocus);
}

void StartupTest::controlsHaveAccessibleNames()
{
    WindowFixture f;
    Form1 &w = *f.window;
    QCOMPARE(w.btnPost->accessibleName(), QStringLiteral("Post"));
    QCOMPARE(w.btnCreate->accessibleName(), QStringLiteral("Create"));
    QCOMPARE(w.Text2->accessibleName(), QStringLiteral("Message Title"));
    QCOMPARE(w.List1->accessibleName(), QStringLiteral("Forum directory"));
    for (QWidget *control : w.findChildren<QWidget *>()) {
        if (control->focusPolicy() != Qt::NoFocus || qobject_cast<PictureButton *>(control))
            if (control->parentWidget() == &w)
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
    }
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
