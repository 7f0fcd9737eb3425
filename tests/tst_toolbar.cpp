// The formatting toolbar, clicked with the mouse: tags at the body's caret or
// selection, toggles that alternate on their own, the two address prompts and
// the body's length limit.
#include "ui/widgets/lineedit.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "windowfixture.h"

#include <QTest>

namespace {

PictureButton *toolButton(MainWindow &w, const QString &name)
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
    void shortcutsTakeTheirTurnAmongKeys();
};

void ToolbarTest::togglesAlternateEachOnItsOwn()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    f.dialogs.answers.enqueue(QStringLiteral("http://a.test/"));
    for (PictureButton *b : {MainWindowProbe::boldButton(w), MainWindowProbe::italicButton(w), MainWindowProbe::underlineButton(w), MainWindowProbe::boldButton(w), MainWindowProbe::linkButton(w), MainWindowProbe::underlineButton(w),
                             MainWindowProbe::boldButton(w), MainWindowProbe::italicButton(w), MainWindowProbe::linkButton(w)})
        click(b);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("<b><i><u></b><a href=\"http://a.test/\"></u><b></i></a>"));
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Bold), true);
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Italic), false);
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Underline), false);
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Link), false);
    QCOMPARE(f.dialogs.boxes.size(), 1); // closing a link asks nothing
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::forumNameEdit(w)); // no click moved the focus
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QStringLiteral("<Enter the name of your forum here>"));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QString());
}

void ToolbarTest::tagReplacesTheSelection()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::bodyEdit(w)->setFocus();
    MainWindowProbe::bodyEdit(w)->setText(QStringLiteral("Hello world\r\nagain"));
    MainWindowProbe::bodyEdit(w)->select(6, 5);
    click(MainWindowProbe::boldButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("Hello <b>\r\nagain"));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->selectedText(), QString());
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));
    QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_X); // the caret sits after the tag
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("Hello <b>x\r\nagain"));
}

void ToolbarTest::tagGoesToTheBodyWhileTheTitleHasTheFocus()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QTest::mouseClick(MainWindowProbe::bodyEdit(w), Qt::LeftButton);
    QTest::keyClicks(MainWindowProbe::bodyEdit(w), QStringLiteral("abc"));
    QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_Left);
    QTest::mouseClick(MainWindowProbe::titleEdit(w), Qt::LeftButton);
    QTest::keyClicks(MainWindowProbe::titleEdit(w), QStringLiteral("Title"));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));

    click(MainWindowProbe::italicButton(w));
    click(MainWindowProbe::italicButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("ab<i></i>c"));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("Title"));
    QTest::keyClick(MainWindowProbe::titleEdit(w), Qt::Key_S); // typing still goes to the title
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("Titles"));
}

// Nothing but the toolbar sets the toggles: not the body's text, not clearing it.
void ToolbarTest::stateOutlivesTheBodyText()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    click(MainWindowProbe::boldButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("<b>"));
    QTest::mouseClick(MainWindowProbe::clearMessageButton(w), Qt::LeftButton);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QString());
    click(MainWindowProbe::boldButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("</b>"));

    MainWindowProbe::bodyEdit(w)->setText(QStringLiteral("world")); // the caret of a body never visited is at its start
    click(MainWindowProbe::underlineButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("<u>world"));
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
    MainWindow &w = *f.window;
    for (const QString &answer : answers)
        f.dialogs.answers.enqueue(answer);
    click(MainWindowProbe::linkButton(w));

    QCOMPARE(f.dialogs.boxes.size(), 1);
    const ScriptedDialogs::Box prompt = f.dialogs.boxes.first();
    QCOMPARE(prompt.kind, ScriptedDialogs::Box::Prompt);
    QCOMPARE(prompt.text, QStringLiteral("Type the link address to insert:"));
    QCOMPARE(prompt.title, QStringLiteral("Tavernly"));
    QCOMPARE(prompt.initial, QStringLiteral("http://"));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), body);
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Link), !body.isEmpty());
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
    MainWindow &w = *f.window;
    for (const QString &answer : answers)
        f.dialogs.answers.enqueue(answer);
    const qsizetype clicks = qMax<qsizetype>(1, answers.size());
    for (qsizetype i = 0; i < clicks; ++i)
        click(MainWindowProbe::imageButton(w));

    QCOMPARE(f.dialogs.boxes.size(), clicks);
    for (const ScriptedDialogs::Box &prompt : f.dialogs.boxes) {
        QCOMPARE(prompt.kind, ScriptedDialogs::Box::Prompt);
        QCOMPARE(prompt.text, QStringLiteral("Type the image link address to insert:"));
        QCOMPARE(prompt.title, QStringLiteral("Tavernly"));
        QCOMPARE(prompt.initial, QString());
    }
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), body);
    QCOMPARE(MainWindowProbe::tagsAwaitingClose(w), QList<bool>({false, false, false, false}));
}

void ToolbarTest::insertionPastTheLimitInsertsNothing_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("tagBefore");
    QTest::addColumn<int>("length");   // of the body before the click
    QTest::addColumn<int>("selected"); // characters selected at its end
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("inserted"); // empty: nothing may go in
    QTest::newRow("bold fits exactly") << "boldButton" << "OPEN" << 997 << 0 << QString() << "<b>";
    QTest::newRow("bold one too many") << "boldButton" << "OPEN" << 998 << 0 << QString() << QString();
    QTest::newRow("closing bold") << "boldButton" << "CLOSED" << 997 << 0 << QString() << QString();
    QTest::newRow("italic in a full body") << "italicButton" << "OPEN" << 1000 << 0 << QString() << QString();
    QTest::newRow("underline over a selection") << "underlineButton" << "OPEN" << 1000 << 3 << QString() << "<u>";
    QTest::newRow("link too long") << "linkButton" << "OPEN" << 990 << 0 << "http://a.test/" << QString();
    QTest::newRow("link fits") << "linkButton" << "OPEN" << 975 << 0 << "http://a.test/" << "<a href=\"http://a.test/\">";
    QTest::newRow("closing link") << "linkButton" << "CLOSED" << 997 << 0 << QString() << QString();
    QTest::newRow("image too long") << "imageButton" << QString() << 990 << 0 << "b.png" << QString();
    // A line break counts two characters towards the limit.
    QTest::newRow("line breaks count two") << "boldButton" << "OPEN" << -998 << 0 << QString() << QString();
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
    MainWindow &w = *f.window;
    // A negative length asks for that many characters ending in a line break.
    const QString before = length >= 0 ? QString(length, QLatin1Char('a'))
                                       : QString(-length - 2, QLatin1Char('a')) + QStringLiteral("\r\n");
    MainWindowProbe::bodyEdit(w)->setText(before);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), before);
    const int shown = int(MainWindowProbe::bodyEdit(w)->toPlainText().size());
    MainWindowProbe::bodyEdit(w)->select(shown - selected, selected);
    PictureButton *b = toolButton(w, button);
    const bool paired = !tagBefore.isEmpty();
    const PairedTag tag = button == u"boldButton"        ? PairedTag::Bold
                          : button == u"italicButton"    ? PairedTag::Italic
                          : button == u"underlineButton" ? PairedTag::Underline
                                                         : PairedTag::Link;
    const bool closingDue = tagBefore == u"CLOSED";
    if (paired)
        MainWindowProbe::toolbar(w).setAwaitingClose(tag, closingDue);
    if (!answer.isEmpty())
        f.dialogs.answers.enqueue(answer);

    click(b);
    if (inserted.isEmpty()) {
        QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), before);
        if (paired)
            QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(tag), closingDue);
    } else {
        QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), before.left(before.size() - selected) + inserted);
        if (paired)
            QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(tag), !closingDue);
    }
    QVERIFY(f.dialogs.messages().isEmpty());
}

// The toolbar is not part of the busy state: it works during a request.
void ToolbarTest::toolbarWorksWhileTheWindowIsLocked()
{
    WindowFixture f;
    f.server.script(FakeServer::Create, FakeServer::Behaviour::Silent);
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::forumNameEdit(w)->setText(QStringLiteral("Ale"));
    QTest::mouseClick(MainWindowProbe::createButton(w), Qt::LeftButton);
    QVERIFY(!MainWindowProbe::bodyEdit(w)->isEnabled());
    click(MainWindowProbe::boldButton(w));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("<b>"));
    QCOMPARE(MainWindowProbe::toolbar(w).awaitingClose(PairedTag::Bold), true);
}

// fault: a shortcut clicks its button 0.1 s later (Qt's animated click), so a
// second press within them is dropped and keys typed after it land before the tag
void ToolbarTest::shortcutsTakeTheirTurnAmongKeys()
{
    WindowFixture f;
    f.load();
    PlainTextEdit *body = MainWindowProbe::bodyEdit(*f.window);
    for (const QKeyCombination key : {Qt::ALT | Qt::Key_B, QKeyCombination(Qt::Key_X), Qt::ALT | Qt::Key_B})
        QTest::keyClick(body, key.key(), key.keyboardModifiers());
    QCOMPARE(body->text(), QStringLiteral("<b>x</b>"));
}

QTEST_MAIN(ToolbarTest)
#include "tst_toolbar.moc"
