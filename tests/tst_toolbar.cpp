// The formatting toolbar, clicked with the mouse: tags at the body's caret or
// selection, toggles that alternate on their own, the two address prompts and
// the body's length limit.
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/textbox.h"
#include "windowfixture.h"

#include <QTest>

namespace {

PictureButton *toolButton(Form1 &w, const QString &name)
{
    return w.findChild<PictureButton *>(name);
}

void click(PictureButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

class ToolbarTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void togglesAlternateEachOnItsOwn();
    void tagReplacesTheSelection();
    void tagGoesToTheBodyWhileTheTitleHasTheFocus();
    void stateOutlivesTheBodyText();
    void linkPrompt_data();
    void linkPrompt();
    void imagePrompt_data();
    void imagePrompt();
    void insertionPastTheLimitInsertsNothing_data();
    void insertionPastTheLimitInsertsNothing();
    void toolbarWorksWhileTheWindowIsLocked();
};

void ToolbarTest::togglesAlternateEachOnItsOwn()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    f.dialogs.answers.enqueue(QStringLiteral("http://a.test/"));
    for (PictureButton *b : {w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnBOLD, w.btnLINK, w.btnUNDERLINE,
                             w.btnBOLD, w.btnITALIC, w.btnLINK})
        click(b);
    QCOMPARE(w.Text3->Text(), QStringLiteral("<b><i><u></b><a href=\"http://a.test/\"></u><b></i></a>"));
    QCOMPARE(w.btnBOLD->Tag(), QStringLiteral("CLOSED"));
    QCOMPARE(w.btnITALIC->Tag(), QStringLiteral("OPEN"));
    QCOMPARE(w.btnUNDERLINE->Tag(), QStringLiteral("OPEN"));
    QCOMPARE(w.btnLINK->Tag(), QStringLiteral("OPEN"));
    QCOMPARE(f.dialogs.boxes.size(), 1); // closing a link asks nothing
    QCOMPARE(QApplication::focusWidget(), w.Text1); // no click moved the focus
    QCOMPARE(w.Text1->text(), QStringLiteral("<Enter the name of your forum here>"));
    QCOMPARE(w.Text2->text(), QString());
}

void ToolbarTest::tagReplacesTheSelection()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    w.Text3->setFocus();
    w.Text3->setText(QStringLiteral("Hello world\r\nagain"));
    w.Text3->select(6, 5);
    click(w.btnBOLD);
    QCOMPARE(w.Text3->Text(), QStringLiteral("Hello <b>\r\nagain"));
    QCOMPARE(w.Text3->SelText(), QString());
    QCOMPARE(QApplication::focusWidget(), w.Text3);
    QTest::keyClick(w.Text3, Qt::Key_X); // the caret sits after the tag
    QCOMPARE(w.Text3->Text(), QStringLiteral("Hello <b>x\r\nagain"));
}

void ToolbarTest::tagGoesToTheBodyWhileTheTitleHasTheFocus()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QTest::mouseClick(w.Text3, Qt::LeftButton);
    QTest::keyClicks(w.Text3, QStringLiteral("abc"));
    QTest::keyClick(w.Text3, Qt::Key_Left);
    QTest::mouseClick(w.Text2, Qt::LeftButton);
    QTest::keyClicks(w.Text2, QStringLiteral("Title"));
    QCOMPARE(QApplication::focusWidget(), w.Text2);

    click(w.btnITALIC);
    click(w.btnITALIC);
    QCOMPARE(w.Text3->Text(), QStringLiteral("ab<i></i>c"));
    QCOMPARE(QApplication::focusWidget(), w.Text2);
    QCOMPARE(w.Text2->text(), QStringLiteral("Title"));
    QTest::keyClick(w.Text2, Qt::Key_S); // typing still goes to the title
    QCOMPARE(w.Text2->text(), QStringLiteral("Titles"));
}

// Nothing but the toolbar sets the toggles: not the body's text, not clearing it.
void ToolbarTest::stateOutlivesTheBodyText()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    click(w.btnBOLD);
    QCOMPARE(w.Text3->Text(), QStringLiteral("<b>"));
    QTest::mouseClick(w.btnClear2, Qt::LeftButton);
    QCOMPARE(w.Text3->Text(), QString());
    click(w.btnBOLD);
    QCOMPARE(w.Text3->Text(), QStringLiteral("</b>"));

    w.Text3->setText(QStringLiteral("world")); // the caret of a body never visited is at its start
    click(w.btnUNDERLINE);
    QCOMPARE(w.Text3->Text(), QStringLiteral("<u>world"));
}

void ToolbarTest::linkPrompt_data()
{
    QTest::addColumn<QStringList>("answers"); // none: the prompt is cancelled
    QTest::addColumn<QString>("body");
    QTest::newRow("cancelled") << QStringList() << QString();
    QTest::newRow("confirmed empty") << QStringList{QString()} << QString();
    QTest::newRow("untouched default") << QStringList{QStringLiteral("http://")} << QString();
    QTest::newRow("default in capitals") << QStringList{QStringLiteral("HTTP://")}
                                         << QStringLiteral("<a href=\"HTTP://\">");
    QTest::newRow("space before") << QStringList{QStringLiteral(" http://")} << QStringLiteral("<a href=\" http://\">");
    QTest::newRow("space after") << QStringList{QStringLiteral("http:// ")} << QStringLiteral("<a href=\"http:// \">");
    QTest::newRow("double quote kept") << QStringList{QStringLiteral("x\" onclick=\"y")}
                                       << QStringLiteral("<a href=\"x\" onclick=\"y\">");
    QTest::newRow("asterisk kept") << QStringList{QStringLiteral("http://a.test/*%1")}
                                   << QStringLiteral("<a href=\"http://a.test/*%1\">");
}

void ToolbarTest::linkPrompt()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, body);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    for (const QString &answer : answers)
        f.dialogs.answers.enqueue(answer);
    click(w.btnLINK);

    QCOMPARE(f.dialogs.boxes.size(), 1);
    const ScriptedDialogs::Box prompt = f.dialogs.boxes.first();
    QCOMPARE(prompt.kind, ScriptedDialogs::Box::Prompt);
    QCOMPARE(prompt.text, QStringLiteral("Type the link address to insert:"));
    QCOMPARE(prompt.title, QStringLiteral("Tavernly"));
    QCOMPARE(prompt.initial, QStringLiteral("http://"));
    QCOMPARE(w.Text3->Text(), body);
    QCOMPARE(w.btnLINK->Tag(), body.isEmpty() ? QStringLiteral("OPEN") : QStringLiteral("CLOSED"));
}

void ToolbarTest::imagePrompt_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("body");
    QTest::newRow("cancelled") << QStringList() << QString();
    QTest::newRow("confirmed empty") << QStringList{QString()} << QString();
    QTest::newRow("http:// is an address here") << QStringList{QStringLiteral("http://")}
                                                << QStringLiteral("<img src=\"http://\">");
    QTest::newRow("double quote kept") << QStringList{QStringLiteral("a\"b.png")}
                                       << QStringLiteral("<img src=\"a\"b.png\">");
    QTest::newRow("every click a whole tag")
        << QStringList{QStringLiteral("a.png"), QStringLiteral("b.png")}
        << QStringLiteral("<img src=\"a.png\"><img src=\"b.png\">");
}

void ToolbarTest::imagePrompt()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, body);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    for (const QString &answer : answers)
        f.dialogs.answers.enqueue(answer);
    const qsizetype clicks = qMax<qsizetype>(1, answers.size());
    for (qsizetype i = 0; i < clicks; ++i)
        click(w.btnIMAGE);

    QCOMPARE(f.dialogs.boxes.size(), clicks);
    for (const ScriptedDialogs::Box &prompt : f.dialogs.boxes) {
        QCOMPARE(prompt.kind, ScriptedDialogs::Box::Prompt);
        QCOMPARE(prompt.text, QStringLiteral("Type the image link address to insert:"));
        QCOMPARE(prompt.title, QStringLiteral("Tavernly"));
        QCOMPARE(prompt.initial, QString());
    }
    QCOMPARE(w.Text3->Text(), body);
    for (PictureButton *toggle : {w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnLINK})
        QCOMPARE(toggle->Tag(), QStringLiteral("OPEN"));
}

void ToolbarTest::insertionPastTheLimitInsertsNothing_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("tagBefore");
    QTest::addColumn<int>("length");   // of the body before the click
    QTest::addColumn<int>("selected"); // characters selected at its end
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("inserted"); // empty: nothing may go in
    QTest::newRow("bold fits exactly") << "btnBOLD" << "OPEN" << 997 << 0 << QString() << "<b>";
    QTest::newRow("bold one too many") << "btnBOLD" << "OPEN" << 998 << 0 << QString() << QString();
    QTest::newRow("closing bold") << "btnBOLD" << "CLOSED" << 997 << 0 << QString() << QString();
    QTest::newRow("italic in a full body") << "btnITALIC" << "OPEN" << 1000 << 0 << QString() << QString();
    QTest::newRow("underline over a selection") << "btnUNDERLINE" << "OPEN" << 1000 << 3 << QString() << "<u>";
    QTest::newRow("link too long") << "btnLINK" << "OPEN" << 990 << 0 << "http://a.test/" << QString();
    QTest::newRow("link fits") << "btnLINK" << "OPEN" << 975 << 0 << "http://a.test/" << "<a href=\"http://a.test/\">";
    QTest::newRow("closing link") << "btnLINK" << "CLOSED" << 997 << 0 << QString() << QString();
    QTest::newRow("image too long") << "btnIMAGE" << QString() << 990 << 0 << "b.png" << QString();
    // A line break counts two characters towards the limit.
    QTest::newRow("line breaks count two") << "btnBOLD" << "OPEN" << -998 << 0 << QString() << QString();
}

void ToolbarTest::insertionPastTheLimitInsertsNothing()
{
    QFETCH(QString, button);
    QFETCH(QString, tagBefore);
    QFETCH(int, length);
    QFETCH(int, selected);
    QFETCH(QString, answer);
    QFETCH(QString, inserted);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    // A negative length asks for that many characters ending in a line break.
    const QString before = length >= 0 ? QString(length, QLatin1Char('a'))
                                       : QString(-length - 2, QLatin1Char('a')) + QStringLiteral("\r\n");
    w.Text3->setText(before);
    QCOMPARE(w.Text3->Text(), before);
    const int shown = int(w.Text3->toPlainText().size());
    w.Text3->select(shown - selected, selected);
    PictureButton *b = toolButton(w, button);
    b->setTag(tagBefore);
    if (!answer.isEmpty())
        f.dialogs.answers.enqueue(answer);

    click(b);
    if (inserted.isEmpty()) {
        QCOMPARE(w.Text3->Text(), before);
        QCOMPARE(b->Tag(), tagBefore);
    } else {
        QCOMPARE(w.Text3->Text(), before.left(before.size() - selected) + inserted);
        QCOMPARE(b->Tag(), tagBefore == QLatin1String("OPEN") ? QStringLiteral("CLOSED") : QStringLiteral("OPEN"));
    }
    QVERIFY(f.dialogs.messages().isEmpty());
}

// The toolbar is not part of the busy state: it works during a request.
void ToolbarTest::toolbarWorksWhileTheWindowIsLocked()
{
    WindowFixture f;
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Silent);
    f.load();
    Form1 &w = *f.window;
    w.Text1->setText(QStringLiteral("Ale"));
    QTest::mouseClick(w.btnCreate, Qt::LeftButton);
    QVERIFY(!w.Text3->isEnabled());
    click(w.btnBOLD);
    QCOMPARE(w.Text3->Text(), QStringLiteral("<b>"));
    QCOMPARE(w.btnBOLD->Tag(), QStringLiteral("CLOSED"));
}

QTEST_MAIN(ToolbarTest)
#include "tst_toolbar.moc"
