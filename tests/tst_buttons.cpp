// The picture buttons' pressed faces, their behaviour when locked, and what
// assistive tools see of them.
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
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
Faces facesOf(MainWindow &w, const QString &name)
{
    const struct
    {
        const char *name;
        const QPixmap *up;
        const QPixmap *down;
    } table[] = {
        {"boldButton", &MainWindowProbe::faces(w).boldUp, &MainWindowProbe::faces(w).boldDown},       {"underlineButton", &MainWindowProbe::faces(w).underlineUp, &MainWindowProbe::faces(w).underlineDown},
        {"italicButton", &MainWindowProbe::faces(w).italicUp, &MainWindowProbe::faces(w).italicDown}, {"linkButton", &MainWindowProbe::faces(w).linkUp, &MainWindowProbe::faces(w).linkDown},
        {"imageButton", &MainWindowProbe::faces(w).imageUp, &MainWindowProbe::faces(w).imageDown},    {"previewButton", &MainWindowProbe::faces(w).previewUp, &MainWindowProbe::faces(w).previewDown},
        {"createButton", &MainWindowProbe::faces(w).createUp, &MainWindowProbe::faces(w).createDown}, {"postButton", &MainWindowProbe::faces(w).postUp, &MainWindowProbe::faces(w).postDown},
        {"clearNameButton", &MainWindowProbe::faces(w).clearUp, &MainWindowProbe::faces(w).clearDown},    {"clearMessageButton", &MainWindowProbe::faces(w).clearUp, &MainWindowProbe::faces(w).clearDown},
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
    for (const char *name : {"boldButton", "underlineButton", "italicButton", "linkButton", "imageButton", "previewButton", "createButton",
                             "postButton", "clearNameButton", "clearMessageButton"}) {
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
    QTest::newRow("bold") << QStringLiteral("boldButton") << QStringLiteral("<b>x");
    QTest::newRow("link") << QStringLiteral("linkButton") << QStringLiteral("<a href=\"http://a.test/\">x");
    QTest::newRow("create") << QStringLiteral("createButton") << QStringLiteral("x");
    QTest::newRow("clear") << QStringLiteral("clearMessageButton") << QString();
}

void ButtonsTest::normalFaceIsBackBeforeTheClickAction()
{
    QFETCH(QString, name);
    QFETCH(QString, body);
    WindowFixture f;
    f.load();
    MainWindowProbe::bodyEdit(*f.window)->setText(QStringLiteral("x"));
    const Faces faces = facesOf(*f.window, name);
    QList<QImage> faceAtClick;
    connect(faces.button, &PictureButton::clicked, faces.button, [&] { faceAtClick.append(shown(faces.button)); });
    f.dialogs.answers.enqueue(QStringLiteral("http://a.test/"));

    QTest::mouseClick(faces.button, Qt::LeftButton);
    QCOMPARE(faceAtClick, QList<QImage>{faces.up});
    QCOMPARE(shown(faces.button), faces.up);
    QCOMPARE(MainWindowProbe::bodyEdit(*f.window)->text(), body); // the action ran
    // A right click shows the faces but runs no click action.
    QTest::mouseClick(faces.button, Qt::RightButton);
    QCOMPARE(faceAtClick.size(), 1);
}

void ButtonsTest::clearButtonsLookAlike()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QCOMPARE(shown(MainWindowProbe::clearNameButton(w)), shown(MainWindowProbe::clearMessageButton(w)));
    QTest::mousePress(MainWindowProbe::clearNameButton(w), Qt::LeftButton);
    QTest::mousePress(MainWindowProbe::clearMessageButton(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::clearNameButton(w)), MainWindowProbe::faces(w).clearDown.toImage());
    QCOMPARE(shown(MainWindowProbe::clearNameButton(w)), shown(MainWindowProbe::clearMessageButton(w)));
    QTest::mouseRelease(MainWindowProbe::clearNameButton(w), Qt::LeftButton, {}, offTheButton);
    QTest::mouseRelease(MainWindowProbe::clearMessageButton(w), Qt::LeftButton, {}, offTheButton);
    QCOMPARE(shown(MainWindowProbe::clearNameButton(w)), shown(MainWindowProbe::clearMessageButton(w)));
}

void ButtonsTest::lockedButtonsIgnoreTheMouse_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"createButton", "clearNameButton", "clearMessageButton", "postButton"})
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
    MainWindow &w = *f.window;
    MainWindowProbe::forumNameEdit(w)->setText(QStringLiteral("Ale"));
    MainWindowProbe::titleEdit(w)->setText(QStringLiteral("Title"));
    QTest::mouseClick(MainWindowProbe::createButton(w), Qt::LeftButton);
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
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QStringLiteral("Ale"));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("Title"));
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
    MainWindow &w = *f.window;
    const Faces faces = facesOf(w, QStringLiteral("postButton"));
    QSignalSpy clicks(MainWindowProbe::postButton(w), &PictureButton::clicked);

    QTest::mousePress(MainWindowProbe::postButton(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.down);
    MainWindowProbe::forumNameEdit(w)->setFocus();
    MainWindowProbe::forumNameEdit(w)->setText(QStringLiteral("Ale"));
    QTest::keyClick(MainWindowProbe::forumNameEdit(w), Qt::Key_Return);
    QTRY_COMPARE(f.server.requests(FakeServer::Create), QList<QByteArray>{"Ale"});
    QVERIFY(!MainWindowProbe::postButton(w)->isEnabled());
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.up);
    QTest::mouseRelease(MainWindowProbe::postButton(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.up);

    QTRY_VERIFY_WITH_TIMEOUT(MainWindowProbe::postButton(w)->isEnabled(), 10000);
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QTest::mouseRelease(MainWindowProbe::postButton(w), Qt::LeftButton); // a late release changes nothing
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.up);
    QTest::mousePress(MainWindowProbe::postButton(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.down);
    QTest::mouseRelease(MainWindowProbe::postButton(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::postButton(w)), faces.up);
    QCOMPARE(clicks.size(), 1); // the one after the unlock: its refusal box follows
    QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
}

// Its picture shows the option, and only a click changes it.
void ButtonsTest::stampOptionIsNotInTheFamily()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QImage off = MainWindowProbe::faces(w).checkUp.toImage();
    const QImage on = MainWindowProbe::faces(w).checkDown.toImage();
    QTest::mousePress(MainWindowProbe::stampOption(w), Qt::RightButton);
    QTest::mouseRelease(MainWindowProbe::stampOption(w), Qt::RightButton);
    QCOMPARE(shown(MainWindowProbe::stampOption(w)), off);
    QTest::mousePress(MainWindowProbe::stampOption(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::stampOption(w)), off);
    QTest::mouseRelease(MainWindowProbe::stampOption(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::stampOption(w)), on);
    QTest::mousePress(MainWindowProbe::stampOption(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::stampOption(w)), on);
    QTest::mouseRelease(MainWindowProbe::stampOption(w), Qt::LeftButton);
    QCOMPARE(shown(MainWindowProbe::stampOption(w)), off);
}

void ButtonsTest::assistiveToolsSeePushButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("accessibleName");
    QTest::newRow("boldButton") << "boldButton" << "Bold";
    QTest::newRow("underlineButton") << "underlineButton" << "Underline";
    QTest::newRow("italicButton") << "italicButton" << "Italic";
    QTest::newRow("linkButton") << "linkButton" << "Link";
    QTest::newRow("imageButton") << "imageButton" << "Image";
    QTest::newRow("previewButton") << "previewButton" << "Preview";
    QTest::newRow("createButton") << "createButton" << "Create";
    QTest::newRow("clearNameButton") << "clearNameButton" << "Clear forum name";
    QTest::newRow("clearMessageButton") << "clearMessageButton" << "Clear message";
    QTest::newRow("postButton") << "postButton" << "Post";
}

// The stamp option reads as a check box whose state follows the option.
void ButtonsTest::stampOptionReadsAsACheckBox()
{
    WindowFixture f;
    f.load();
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(MainWindowProbe::stampOption(*f.window));
    QVERIFY(face);
    QCOMPARE(face->role(), QAccessible::CheckBox);
    QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Include Date & Time Stamp"));
    QVERIFY(!face->state().checked);
    QTest::mouseClick(MainWindowProbe::stampOption(*f.window), Qt::LeftButton);
    QVERIFY(face->state().checked);
    QTest::mouseClick(MainWindowProbe::stampLabel(*f.window), Qt::LeftButton);
    QVERIFY(!face->state().checked);
    QCOMPARE(MainWindowProbe::stampWanted(*f.window), false);
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
    QCOMPARE(MainWindowProbe::createButton(*f.window)->picture().size(), QSize(95, 22) * density);
    QCOMPARE(MainWindowProbe::boldButton(*f.window)->picture().size(), QSize(14, 17) * density);
    for (const PictureButton *button : f.window->findChildren<PictureButton *>()) {
        QVERIFY2(button->picture().devicePixelRatio() == density, qPrintable(button->objectName()));
        QVERIFY2(button->sizeHint() == (button->picture().size() / density), qPrintable(button->objectName()));
    }
    QCOMPARE(MainWindowProbe::createHeader(*f.window)->pixmap().devicePixelRatio(), density);
}

QTEST_MAIN(ButtonsTest)
#include "tst_buttons.moc"
