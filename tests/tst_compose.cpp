// The title and body fields, the date-and-time-stamp option and the clear
// buttons, driven with the keyboard and the mouse.
#include "ui/widgets/clicklabel.h"
#include "postdriver.h"

#include <QClipboard>
#include <QTest>

using namespace postdriver;

class ComposeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void titleSelectsAllWhenItGetsTheFocus_data();
    void titleSelectsAllWhenItGetsTheFocus();
    void enterInTheTitleMovesToTheBody_data();
    void enterInTheTitleMovesToTheBody();
    void enterInTheBodyReplacesTheSelection_data();
    void enterInTheBodyReplacesTheSelection();
    void limits_data();
    void limits();
    void enterPastTheLimitInsertsNothing_data();
    void enterPastTheLimitInsertsNothing();
    void stampOption_data();
    void stampOption();
    void clearButtons_data();
    void clearButtons();
};

void ComposeTest::titleSelectsAllWhenItGetsTheFocus_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Tab from the forum name") << "tab";
    QTest::newRow("refused post with an asterisk in the body") << "asterisk";
    QTest::newRow("refused post with an empty body") << "empty";
}

void ComposeTest::titleSelectsAllWhenItGetsTheFocus()
{
    QFETCH(QString, how);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QString title = QStringLiteral("Old title");
    QTest::keyClicks(MainWindowProbe::titleEdit(w), title);
    MainWindowProbe::titleEdit(w)->setCursorPosition(3);
    if (how == u"tab") {
        QTest::keyClick(MainWindowProbe::forumNameEdit(w), Qt::Key_Tab);
    } else {
        MainWindowProbe::bodyEdit(w)->setFocus();
        QTest::keyClicks(MainWindowProbe::bodyEdit(w), how == u"asterisk" ? QStringLiteral("a*b") : QString());
        click(MainWindowProbe::postButton(w));
        QCOMPARE(f.dialogs.messages().size(), 1);
    }
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->selectedText(), title);
    QCOMPARE(MainWindowProbe::titleEdit(w)->selectionStartOrCaret(), 0);

    QTest::keyClick(MainWindowProbe::titleEdit(w), Qt::Key_N); // typing replaces the whole title
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("n"));
}

void ComposeTest::enterInTheTitleMovesToTheBody_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
}

void ComposeTest::enterInTheTitleMovesToTheBody()
{
    QFETCH(int, key);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::titleEdit(w)->setFocus();
    QTest::keyClicks(MainWindowProbe::titleEdit(w), QStringLiteral("Hello world"));
    MainWindowProbe::titleEdit(w)->select(6, 5);
    QTest::keyClick(MainWindowProbe::titleEdit(w), Qt::Key(key));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("Hello world"));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));
    QVERIFY(MainWindowProbe::bodyEdit(w)->text().isEmpty());
}

void ComposeTest::enterInTheBodyReplacesTheSelection_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("caret"); // in characters as shown, a line break counting one

    QTest::newRow("empty body") << "" << 0 << 0 << "<br>\r\n" << 5;
    QTest::newRow("word selected") << "one two three" << 4 << 3 << "one <br>\r\n three" << 9;
    QTest::newRow("caret in a word") << "onetwo" << 3 << 0 << "one<br>\r\ntwo" << 8;
    QTest::newRow("across a line break") << "ab\r\ncd" << 1 << 3 << "a<br>\r\nd" << 6;
}

void ComposeTest::enterInTheBodyReplacesTheSelection()
{
    QFETCH(QString, before);
    QFETCH(int, start);
    QFETCH(int, length);
    QFETCH(QString, after);
    QFETCH(int, caret);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::bodyEdit(w)->setText(before);
    MainWindowProbe::bodyEdit(w)->setFocus();
    MainWindowProbe::bodyEdit(w)->select(start, length);
    QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_Return);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), after);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->textCursor().position(), caret);
    QVERIFY(!MainWindowProbe::bodyEdit(w)->textCursor().hasSelection());
    QCOMPARE(MainWindowProbe::bodyEdit(w)->document()->blockCount(), int(after.count(QStringLiteral("\r\n"))) + 1);
}

void ComposeTest::limits_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("box"); // none when all of it fits

    const QString x60(60, u'x');
    const QString x1000(1000, u'x');
    const QString title = QStringLiteral("Only the first 60 characters fit in the title.");
    const QString body = QStringLiteral("Only the first 1000 characters fit in the message body.");
    // fault: what does not fit is dropped without a word (or the box shows before the rest is in)
    QTest::newRow("title, typing") << "titleEdit" << false << "" << QString(65, u'x') << x60 << title;
    QTest::newRow("title, pasting") << "titleEdit" << true << QString(50, u'a') << QString(20, u'b')
                                    << QString(50, u'a') + QString(10, u'b') << title;
    QTest::newRow("forum name, typing") << "forumNameEdit" << false << "" << QString(45, u'n') << QString(40, u'n')
                                        << "Only the first 40 characters fit in the forum's name.";
    QTest::newRow("body, typing") << "bodyEdit" << false << QString(990, u'x') << QString(20, u'y')
                                  << QString(990, u'x') + QString(10, u'y') << body;
    QTest::newRow("body, pasting 1500") << "bodyEdit" << true << "" << QString(1500, u'x') << x1000 << body;
    // fault: pasted paragraphs are posted as one block (or a paste that fits is said not to)
    QTest::newRow("body, pasted line breaks") << "bodyEdit" << true << "" << "first\r\nsecond\nthird"
                                              << "first<br>\r\nsecond<br>\r\nthird" << "";
    // fault: a pasted line break is cut in the middle of its tag
    QTest::newRow("body, a pasted line break takes six")
        << "bodyEdit" << true << QString(993, u'x') << "a\nbc" << QString(993, u'x') + "a<br>\r\n" << body;
    QTest::newRow("body, a line break does not fit in five")
        << "bodyEdit" << true << QString(994, u'x') << "a\nb" << QString(994, u'x') + "a" << body;
}

void ComposeTest::limits()
{
    QFETCH(QString, field);
    QFETCH(bool, paste);
    QFETCH(QString, start);
    QFETCH(QString, input);
    QFETCH(QString, result);
    QFETCH(QString, box);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QWidget *target = w.findChild<QWidget *>(field);
    auto *line = qobject_cast<QLineEdit *>(target);
    const auto text = [&] { return line ? line->text() : MainWindowProbe::bodyEdit(w)->text(); };
    line ? line->setText(start) : MainWindowProbe::bodyEdit(w)->setText(start);
    target->setFocus();
    line ? line->end(false) : MainWindowProbe::bodyEdit(w)->moveCursor(QTextCursor::End);
    QStringList kept; // what the field holds while each box is open
    f.dialogs.whileOpen = [&](const ScriptedDialogs::Box &) { kept << text(); };
    if (paste) {
        QGuiApplication::clipboard()->setText(input);
        QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
    } else {
        QTest::keyClicks(target, input);
    }
    QCOMPARE(text(), result);
    QCOMPARE(kept.value(0, result), result);
    QCOMPARE(f.dialogs.messageTexts().value(0), box);
    if (!box.isEmpty())
        QCOMPARE(f.dialogs.messages().first().icon, Dialogs::Information);
}

void ComposeTest::enterPastTheLimitInsertsNothing_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("selected");
    QTest::addColumn<bool>("inserted");

    QTest::newRow("just fits") << 994 << 0 << true;
    QTest::newRow("one too many") << 995 << 0 << false;
    QTest::newRow("fits in place of the selection") << 996 << 2 << true;
    QTest::newRow("full") << 1000 << 0 << false;
}

void ComposeTest::enterPastTheLimitInsertsNothing()
{
    QFETCH(int, length);
    QFETCH(int, selected);
    QFETCH(bool, inserted);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QString body(length, u'x');
    MainWindowProbe::bodyEdit(w)->setText(body);
    MainWindowProbe::bodyEdit(w)->setFocus();
    MainWindowProbe::bodyEdit(w)->select(length - selected, selected);
    QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_Return);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), inserted ? body.left(length - selected) + "<br>\r\n" : body);
    QVERIFY(MainWindowProbe::bodyEdit(w)->length() <= 1000);
}

void ComposeTest::stampOption_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("picture, picture") << "stampOption" << "stampOption";
    QTest::newRow("label, label") << "stampLabel" << "stampLabel";
    QTest::newRow("picture, label") << "stampOption" << "stampLabel";
    QTest::newRow("label, picture") << "stampLabel" << "stampOption";
}

void ComposeTest::stampOption()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const auto control = [&](const QString &name) { return w.findChild<QWidget *>(name); };

    click(control(first));
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
    click(control(second));
    QCOMPARE(MainWindowProbe::stampWanted(w), false);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkUp.toImage());
    click(control(first));
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QVERIFY(MainWindowProbe::stampOption(w)->isChecked());
}

void ComposeTest::clearButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("emptyMessage");
    QTest::newRow("message") << "clearMessageButton" << false;
    QTest::newRow("message, already empty") << "clearMessageButton" << true;
    QTest::newRow("forum name") << "clearNameButton" << false;
}

void ComposeTest::clearButtons()
{
    QFETCH(QString, button);
    QFETCH(bool, emptyMessage);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    click(MainWindowProbe::stampLabel(w));
    click(MainWindowProbe::italicButton(w));
    if (emptyMessage)
        MainWindowProbe::bodyEdit(w)->setText(QString()); // the toolbar wrote its tag there
    else
        compose(w, QStringLiteral("Title"), QStringLiteral("Body"));
    const QString title = MainWindowProbe::titleEdit(w)->text();
    const QString body = MainWindowProbe::bodyEdit(w)->text();
    MainWindowProbe::draft(w).storedTitle = QStringLiteral("<b>stored</b>");
    MainWindowProbe::draft(w).position = 1;
    const QList<bool> toggles = MainWindowProbe::tagsAwaitingClose(w);
    MainWindowProbe::bodyEdit(w)->setFocus();

    click(w.findChild<QWidget *>(button));
    if (button == u"clearMessageButton") {
        QVERIFY(MainWindowProbe::titleEdit(w)->text().isEmpty());
        QVERIFY(MainWindowProbe::bodyEdit(w)->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), MainWindowProbe::titleEdit(w));
        QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), QStringLiteral("<Enter the name of your forum here>"));
    } else {
        QVERIFY(MainWindowProbe::forumNameEdit(w)->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), MainWindowProbe::forumNameEdit(w));
        QCOMPARE(MainWindowProbe::titleEdit(w)->text(), title);
        QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), body);
    }
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
    QCOMPARE(MainWindowProbe::tagsAwaitingClose(w), toggles);
    QCOMPARE(toggles.at(1), true);
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>stored</b>"));
    QCOMPARE(MainWindowProbe::draft(w).position, 1);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), 1);
}

QTEST_MAIN(ComposeTest)
#include "tst_compose.moc"
