// The picture buttons' pressed faces, their behaviour when locked, and what
// assistive tools see of them.
#include "platform/memobox.h"
#include "platform/clicklabel.h"
#include "platform/picturebutton.h"
#include "platform/textbox.h"
#include "windowfixture.h"

#include <QAccessible>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

namespace {

struct Faces
{
    PictureButton *button;
    QImage up;
    QImage down;
};

// Each member of the family and the stores its faces come from.
Faces facesOf(Form1 &w, const QString &name)
{
    const struct
    {
        const char *name;
        const QPixmap *up;
        const QPixmap *down;
    } table[] = {
        {"btnBOLD", &w.imgBoldUP, &w.imgBoldDOWN},       {"btnUNDERLINE", &w.imgUnderlineUP, &w.imgUnderlineDOWN},
        {"btnITALIC", &w.imgItalicUP, &w.imgItalicDOWN}, {"btnLINK", &w.imgLinkUP, &w.imgLinkDOWN},
        {"btnIMAGE", &w.imgImageUP, &w.imgImageDOWN},    {"btnView", &w.imgViewUP, &w.imgViewDOWN},
        {"btnCreate", &w.imgCreateUP, &w.imgCreateDOWN}, {"btnPost", &w.imgPostUP, &w.imgPostDOWN},
        {"btnClear", &w.imgClearUP, &w.imgClearDOWN},    {"btnClear2", &w.imgClearUP, &w.imgClearDOWN},
    };
    for (const auto &row : table)
        if (name == QLatin1String(row.name))
            return {w.findChild<PictureButton *>(name), row.up->toImage(), row.down->toImage()};
    return {nullptr, {}, {}};
}

QImage shown(const PictureButton *button)
{
    return button->picture().toImage();
}

const QPoint offTheButton(-20, -20);

} // namespace

class ButtonsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pressShowsThePressedFace_data();
    void pressShowsThePressedFace();
    void normalFaceIsBackBeforeTheClickAction_data();
    void normalFaceIsBackBeforeTheClickAction();
    void clearButtonsLookAlike();
    void lockedButtonsIgnoreTheMouse_data();
    void lockedButtonsIgnoreTheMouse();
    void buttonHeldWhenTheWindowLocksLooksReleased();
    void stampOptionIsNotInTheFamily();
    void assistiveToolsSeePushButtons_data();
    void assistiveToolsSeePushButtons();
    void stampOptionReadsAsACheckBox();
    void facesSuitTheScreenDensity();
};

void ButtonsTest::pressShowsThePressedFace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mouseButton");
    for (const char *name : {"btnBOLD", "btnUNDERLINE", "btnITALIC", "btnLINK", "btnIMAGE", "btnView", "btnCreate",
                             "btnPost", "btnClear", "btnClear2"}) {
        QTest::addRow("%s left", name) << QString::fromLatin1(name) << int(Qt::LeftButton);
        QTest::addRow("%s right", name) << QString::fromLatin1(name) << int(Qt::RightButton);
        QTest::addRow("%s middle", name) << QString::fromLatin1(name) << int(Qt::MiddleButton);
    }
}

// Released off the button, so no click action gets in the way.
void ButtonsTest::pressShowsThePressedFace()
{
    QFETCH(QString, name);
    QFETCH(int, mouseButton);
    WindowFixture f;
    f.load();
    const Faces faces = facesOf(*f.window, name);
    QVERIFY(faces.button);
    QVERIFY(faces.up != faces.down);
    QSignalSpy clicks(faces.button, &PictureButton::clicked);

    for (int round = 0; round < 2; ++round) { // the stores never change
        QCOMPARE(shown(faces.button), faces.up);
        QTest::mousePress(faces.button, Qt::MouseButton(mouseButton));
        QCOMPARE(shown(faces.button), faces.down);
        QTest::mouseMove(faces.button, offTheButton);
        QCOMPARE(shown(faces.button), faces.down);
        QTest::mouseRelease(faces.button, Qt::MouseButton(mouseButton), {}, offTheButton);
        QCOMPARE(shown(faces.button), faces.up);
    }
    QCOMPARE(clicks.size(), 0);
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void ButtonsTest::normalFaceIsBackBeforeTheClickAction_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("body"); // after the click action
    QTest::newRow("bold") << QStringLiteral("btnBOLD") << QStringLiteral("<b>x");
    QTest::newRow("link") << QStringLiteral("btnLINK") << QStringLiteral("<a href=\"http://a.test/\">x");
    QTest::newRow("create") << QStringLiteral("btnCreate") << QStringLiteral("x");
    QTest::newRow("clear") << QStringLiteral("btnClear2") << QString();
}

void ButtonsTest::normalFaceIsBackBeforeTheClickAction()
{
    QFETCH(QString, name);
    QFETCH(QString, body);
    WindowFixture f;
    f.load();
    f.window->Text3->setText(QStringLiteral("x"));
    const Faces faces = facesOf(*f.window, name);
    QList<QImage> faceAtClick;
    connect(faces.button, &PictureButton::clicked, faces.button, [&] { faceAtClick.append(shown(faces.button)); });
    f.dialogs.answers.enqueue(QStringLiteral("http://a.test/"));

    QTest::mouseClick(faces.button, Qt::LeftButton);
    QCOMPARE(faceAtClick, QList<QImage>{faces.up});
    QCOMPARE(shown(faces.button), faces.up);
    QCOMPARE(f.window->Text3->Text(), body); // the action ran
    // A right click shows the faces but runs no click action.
    QTest::mouseClick(faces.button, Qt::RightButton);
    QCOMPARE(faceAtClick.size(), 1);
}

void ButtonsTest::clearButtonsLookAlike()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QCOMPARE(shown(w.btnClear), shown(w.btnClear2));
    QTest::mousePress(w.btnClear, Qt::LeftButton);
    QTest::mousePress(w.btnClear2, Qt::LeftButton);
    QCOMPARE(shown(w.btnClear), w.imgClearDOWN.toImage());
    QCOMPARE(shown(w.btnClear), shown(w.btnClear2));
    QTest::mouseRelease(w.btnClear, Qt::LeftButton, {}, offTheButton);
    QTest::mouseRelease(w.btnClear2, Qt::LeftButton, {}, offTheButton);
    QCOMPARE(shown(w.btnClear), shown(w.btnClear2));
}

void ButtonsTest::lockedButtonsIgnoreTheMouse_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"btnCreate", "btnClear", "btnClear2", "btnPost"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// While a create request waits for its answer, the locked buttons neither
// change their face nor run their action.
void ButtonsTest::lockedButtonsIgnoreTheMouse()
{
    QFETCH(QString, name);
    Timing timing = WindowFixture::fastTiming();
    timing.requestLimitMs = 600000;
    WindowFixture f(timing);
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Silent);
    f.load();
    Form1 &w = *f.window;
    w.Text1->setText(QStringLiteral("Ale"));
    w.Text2->setText(QStringLiteral("Title"));
    QTest::mouseClick(w.btnCreate, Qt::LeftButton);
    QTRY_COMPARE(f.server.requests(FakeServer::Create), QList<QByteArray>{"Ale"});

    const Faces faces = facesOf(w, name);
    QVERIFY(!faces.button->isEnabled());
    QSignalSpy clicks(faces.button, &PictureButton::clicked);
    for (Qt::MouseButton mouseButton : {Qt::LeftButton, Qt::RightButton}) {
        QTest::mousePress(faces.button, mouseButton);
        QCOMPARE(shown(faces.button), faces.up);
        QTest::mouseRelease(faces.button, mouseButton);
        QCOMPARE(shown(faces.button), faces.up);
    }
    QCOMPARE(clicks.size(), 0);
    QCOMPARE(f.server.connectionCount(FakeServer::Create), 1);
    QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
    QCOMPARE(w.Text1->text(), QStringLiteral("Ale"));
    QCOMPARE(w.Text2->text(), QStringLiteral("Title"));
    QVERIFY(f.dialogs.boxes.isEmpty());
}

// Enter in the name field starts a request while the mouse is held on the
// post button: the locked button shows its normal face, clicks nothing when
// the mouse is let go, and works as before once the window is unlocked.
void ButtonsTest::buttonHeldWhenTheWindowLocksLooksReleased()
{
    Timing timing = WindowFixture::fastTiming();
    timing.requestLimitMs = 1500; // then the request ends as a connection error
    WindowFixture f(timing);
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Silent);
    f.load();
    Form1 &w = *f.window;
    const Faces faces = facesOf(w, QStringLiteral("btnPost"));
    QSignalSpy clicks(w.btnPost, &PictureButton::clicked);

    QTest::mousePress(w.btnPost, Qt::LeftButton);
    QCOMPARE(shown(w.btnPost), faces.down);
    w.Text1->setFocus();
    w.Text1->setText(QStringLiteral("Ale"));
    QTest::keyClick(w.Text1, Qt::Key_Return);
    QTRY_COMPARE(f.server.requests(FakeServer::Create), QList<QByteArray>{"Ale"});
    QVERIFY(!w.btnPost->isEnabled());
    QCOMPARE(shown(w.btnPost), faces.up);
    QTest::mouseRelease(w.btnPost, Qt::LeftButton);
    QCOMPARE(shown(w.btnPost), faces.up);

    QTRY_VERIFY_WITH_TIMEOUT(w.btnPost->isEnabled(), 10000);
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QTest::mouseRelease(w.btnPost, Qt::LeftButton); // a late release changes nothing
    QCOMPARE(shown(w.btnPost), faces.up);
    QTest::mousePress(w.btnPost, Qt::LeftButton);
    QCOMPARE(shown(w.btnPost), faces.down);
    QTest::mouseRelease(w.btnPost, Qt::LeftButton);
    QCOMPARE(shown(w.btnPost), faces.up);
    QCOMPARE(clicks.size(), 1); // the one after the unlock: its refusal box follows
    QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
}

// Its picture shows the option, and only a click changes it.
void ButtonsTest::stampOptionIsNotInTheFamily()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    const QImage off = w.imgCheckUP.toImage();
    const QImage on = w.imgCheckDOWN.toImage();
    QTest::mousePress(w.btnCheck, Qt::RightButton);
    QTest::mouseRelease(w.btnCheck, Qt::RightButton);
    QCOMPARE(shown(w.btnCheck), off);
    QTest::mousePress(w.btnCheck, Qt::LeftButton);
    QCOMPARE(shown(w.btnCheck), off);
    QTest::mouseRelease(w.btnCheck, Qt::LeftButton);
    QCOMPARE(shown(w.btnCheck), on);
    QTest::mousePress(w.btnCheck, Qt::LeftButton);
    QCOMPARE(shown(w.btnCheck), on);
    QTest::mouseRelease(w.btnCheck, Qt::LeftButton);
    QCOMPARE(shown(w.btnCheck), off);
}

void ButtonsTest::assistiveToolsSeePushButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("accessibleName");
    QTest::newRow("btnBOLD") << "btnBOLD" << "Bold";
    QTest::newRow("btnUNDERLINE") << "btnUNDERLINE" << "Underline";
    QTest::newRow("btnITALIC") << "btnITALIC" << "Italic";
    QTest::newRow("btnLINK") << "btnLINK" << "Link";
    QTest::newRow("btnIMAGE") << "btnIMAGE" << "Image";
    QTest::newRow("btnView") << "btnView" << "Preview";
    QTest::newRow("btnCreate") << "btnCreate" << "Create";
    QTest::newRow("btnClear") << "btnClear" << "Clear forum name";
    QTest::newRow("btnClear2") << "btnClear2" << "Clear message";
    QTest::newRow("btnPost") << "btnPost" << "Post";
}

// The stamp option reads as a check box whose state follows the option.
void ButtonsTest::stampOptionReadsAsACheckBox()
{
    WindowFixture f;
    f.load();
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(f.window->btnCheck);
    QVERIFY(face);
    QCOMPARE(face->role(), QAccessible::CheckBox);
    QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Include Date & Time Stamp"));
    QVERIFY(!face->state().checked);
    QTest::mouseClick(f.window->btnCheck, Qt::LeftButton);
    QVERIFY(face->state().checked);
    QTest::mouseClick(f.window->Label3, Qt::LeftButton);
    QVERIFY(!face->state().checked);
    QCOMPARE(f.window->btnCheck->Tag(), QStringLiteral("UN"));
}

void ButtonsTest::assistiveToolsSeePushButtons()
{
    QFETCH(QString, name);
    QFETCH(QString, accessibleName);
    WindowFixture f;
    f.load();
    auto *button = f.window->findChild<PictureButton *>(name);
    QVERIFY(button);
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(button);
    QVERIFY(face);
    QCOMPARE(face->role(), QAccessible::Button);
    QCOMPARE(face->text(QAccessible::Name), accessibleName);
    QAccessibleActionInterface *actions = face->actionInterface();
    QVERIFY(actions);
    QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    QVERIFY(!face->state().focusable); // picture buttons never take the focus
}

// Run once as it is and once more with QT_SCALE_FACTOR=2: each face is drawn
// for the screen, never a 1x picture blown up, and takes the same room.
void ButtonsTest::facesSuitTheScreenDensity()
{
    WindowFixture f;
    f.load();
    const qreal density = qApp->devicePixelRatio();
    QCOMPARE(density, qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble());
    QCOMPARE(f.window->btnCreate->picture().size(), QSize(95, 22) * density);
    QCOMPARE(f.window->btnBOLD->picture().size(), QSize(14, 17) * density);
    for (const PictureButton *button : f.window->findChildren<PictureButton *>()) {
        QVERIFY2(button->picture().devicePixelRatio() == density, qPrintable(button->objectName()));
        QVERIFY2(button->sizeHint() == (button->picture().size() / density), qPrintable(button->objectName()));
    }
    QCOMPARE(f.window->Image1->pixmap().devicePixelRatio(), density);
}

QTEST_MAIN(ButtonsTest)
#include "tst_buttons.moc"
