// The title and body fields, the date-and-time-stamp option and the clear
// buttons, driven with the keyboard and the mouse.
#include "platform/clicklabel.h"
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
    void pastedLineBreakStaysPlain();
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
    Form1 &w = *f.window;
    const QString title = QStringLiteral("Old title");
    QTest::keyClicks(w.Text2, title);
    w.Text2->setCursorPosition(3);
    if (how == u"tab") {
        QTest::keyClick(w.Text1, Qt::Key_Tab);
    } else {
        w.Text3->setFocus();
        QTest::keyClicks(w.Text3, how == u"asterisk" ? QStringLiteral("a*b") : QString());
        click(w.btnPost);
        QCOMPARE(f.dialogs.messages().size(), 1);
    }
    QCOMPARE(QApplication::focusWidget(), w.Text2);
    QCOMPARE(w.Text2->selectedText(), title);
    QCOMPARE(w.Text2->SelStart(), 0);

    QTest::keyClick(w.Text2, Qt::Key_N); // typing replaces the whole title
    QCOMPARE(w.Text2->Text(), QStringLiteral("n"));
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
    Form1 &w = *f.window;
    w.Text2->setFocus();
    QTest::keyClicks(w.Text2, QStringLiteral("Hello world"));
    w.Text2->select(6, 5);
    QTest::keyClick(w.Text2, Qt::Key(key));
    QCOMPARE(w.Text2->Text(), QStringLiteral("Hello world"));
    QCOMPARE(QApplication::focusWidget(), w.Text3);
    QVERIFY(w.Text3->Text().isEmpty());
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
    Form1 &w = *f.window;
    w.Text3->setText(before);
    w.Text3->setFocus();
    w.Text3->select(start, length);
    QTest::keyClick(w.Text3, Qt::Key_Return);
    QCOMPARE(w.Text3->Text(), after);
    QCOMPARE(w.Text3->textCursor().position(), caret);
    QVERIFY(!w.Text3->textCursor().hasSelection());
    QCOMPARE(w.Text3->document()->blockCount(), int(after.count(QStringLiteral("\r\n"))) + 1);
}

void ComposeTest::pastedLineBreakStaysPlain()
{
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    w.Text3->setFocus();
    QGuiApplication::clipboard()->setText(QStringLiteral("first\r\nsecond\nthird"));
    QTest::keyClick(w.Text3, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(w.Text3->Text(), QStringLiteral("first\r\nsecond\r\nthird"));
}

void ComposeTest::limits_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("result");

    const QString x60(60, u'x');
    const QString x1000(1000, u'x');
    QTest::newRow("title, typing") << "Text2" << false << "" << QString(65, u'x') << x60;
    QTest::newRow("title, pasting") << "Text2" << true << QString(50, u'a') << QString(20, u'b')
                                    << QString(50, u'a') + QString(10, u'b');
    QTest::newRow("body, typing") << "Text3" << false << QString(990, u'x') << QString(20, u'y')
                                  << QString(990, u'x') + QString(10, u'y');
    QTest::newRow("body, pasting") << "Text3" << true << "" << QString(1200, u'x') << x1000;
    QTest::newRow("body, a pasted line break counts two")
        << "Text3" << true << QString(997, u'x') << "a\nbc" << QString(997, u'x') + "a\r\n";
    QTest::newRow("body, a line break does not fit in one")
        << "Text3" << true << QString(998, u'x') << "a\nb" << QString(998, u'x') + "a";
}

void ComposeTest::limits()
{
    QFETCH(QString, field);
    QFETCH(bool, paste);
    QFETCH(QString, start);
    QFETCH(QString, input);
    QFETCH(QString, result);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QWidget *target = field == u"Text2" ? static_cast<QWidget *>(w.Text2) : w.Text3;
    if (field == u"Text2")
        w.Text2->setText(start);
    else
        w.Text3->setText(start);
    target->setFocus();
    w.Text2->end(false);
    w.Text3->moveCursor(QTextCursor::End);
    if (paste) {
        QGuiApplication::clipboard()->setText(input);
        QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
    } else {
        QTest::keyClicks(target, input);
    }
    QCOMPARE(field == u"Text2" ? w.Text2->Text() : w.Text3->Text(), result);
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
    Form1 &w = *f.window;
    const QString body(length, u'x');
    w.Text3->setText(body);
    w.Text3->setFocus();
    w.Text3->select(length - selected, selected);
    QTest::keyClick(w.Text3, Qt::Key_Return);
    QCOMPARE(w.Text3->Text(), inserted ? body.left(length - selected) + "<br>\r\n" : body);
    QVERIFY(w.Text3->length() <= 1000);
}

void ComposeTest::stampOption_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("picture, picture") << "btnCheck" << "btnCheck";
    QTest::newRow("label, label") << "Label3" << "Label3";
    QTest::newRow("picture, label") << "btnCheck" << "Label3";
    QTest::newRow("label, picture") << "Label3" << "btnCheck";
}

void ComposeTest::stampOption()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    const auto control = [&](const QString &name) { return w.findChild<QWidget *>(name); };

    click(control(first));
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("CH"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckDOWN.toImage());
    click(control(second));
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("UN"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckUP.toImage());

    w.btnCheck->setTag(QStringLiteral("ch")); // anything but "UN" counts as on
    click(control(first));
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("UN"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckUP.toImage());
}

void ComposeTest::clearButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("emptyMessage");
    QTest::newRow("message") << "btnClear2" << false;
    QTest::newRow("message, already empty") << "btnClear2" << true;
    QTest::newRow("forum name") << "btnClear" << false;
}

void ComposeTest::clearButtons()
{
    QFETCH(QString, button);
    QFETCH(bool, emptyMessage);
    WindowFixture f;
    f.load();
    Form1 &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    selectForum(w, 1);
    click(w.Label3);
    click(w.btnITALIC);
    if (emptyMessage)
        w.Text3->setText(QString()); // the toolbar wrote its tag there
    else
        compose(w, QStringLiteral("Title"), QStringLiteral("Body"));
    const QString title = w.Text2->Text();
    const QString body = w.Text3->Text();
    w.Text2->setTag(QStringLiteral("<b>stored</b>"));
    w.List1->setTag(QStringLiteral("1"));
    QStringList toggles;
    for (PictureButton *toggle : {w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnLINK})
        toggles << toggle->Tag();
    w.Text3->setFocus();

    click(w.findChild<QWidget *>(button));
    if (button == u"btnClear2") {
        QVERIFY(w.Text2->Text().isEmpty());
        QVERIFY(w.Text3->Text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w.Text2);
        QCOMPARE(w.Text1->Text(), QStringLiteral("<Enter the name of your forum here>"));
    } else {
        QVERIFY(w.Text1->Text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w.Text1);
        QCOMPARE(w.Text2->Text(), title);
        QCOMPARE(w.Text3->Text(), body);
    }
    QCOMPARE(w.btnCheck->Tag(), QStringLiteral("CH"));
    QCOMPARE(w.btnCheck->picture().toImage(), w.imgCheckDOWN.toImage());
    QStringList togglesAfter;
    for (PictureButton *toggle : {w.btnBOLD, w.btnITALIC, w.btnUNDERLINE, w.btnLINK})
        togglesAfter << toggle->Tag();
    QCOMPARE(togglesAfter, toggles);
    QCOMPARE(toggles.at(1), QStringLiteral("CLOSED"));
    QCOMPARE(w.Text2->Tag(), QStringLiteral("<b>stored</b>"));
    QCOMPARE(w.List1->Tag(), QStringLiteral("1"));
    QCOMPARE(w.List1->ListIndex(), 1);
}

QTEST_MAIN(ComposeTest)
#include "tst_compose.moc"
