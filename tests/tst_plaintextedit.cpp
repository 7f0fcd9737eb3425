// The text boxes on their own: line breaks, the body's limit for every way
// text comes in, and when the one-line box reports gaining the focus.
#include "ui/widgets/lineedit.h"
#include "ui/widgets/plaintextedit.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>

class PlainTextEditTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lineBreaksReadAsCrLf_data();
    void lineBreaksReadAsCrLf();
    void limitHoldsForEveryInput_data();
    void limitHoldsForEveryInput();
    void textBoxGotFocus_data();
    void textBoxGotFocus();
};

void PlainTextEditTest::lineBreaksReadAsCrLf_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("read");
    QTest::addColumn<int>("length");
    QTest::newRow("CR LF") << "a\r\nb" << "a\r\nb" << 4;
    QTest::newRow("LF") << "a\nb\n" << "a\r\nb\r\n" << 6;
    QTest::newRow("CR") << "a\rb" << "a\r\nb" << 4;
    QTest::newRow("blank lines") << "\r\n\r\n" << "\r\n\r\n" << 4;
}

void PlainTextEditTest::lineBreaksReadAsCrLf()
{
    QFETCH(QString, written);
    QFETCH(QString, read);
    QFETCH(int, length);
    PlainTextEdit box;
    box.setText(written);
    QCOMPARE(box.text(), read);
    QCOMPARE(box.length(), length);
    box.select(0, int(box.toPlainText().size()));
    QCOMPARE(box.selectedText(), read);
}

void PlainTextEditTest::limitHoldsForEveryInput_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("after");

    const QString face = QStringLiteral("\U0001F600"); // two units
    QTest::newRow("key outside the basic plane, fits") << "key" << "abc" << face << "abc" + face;
    QTest::newRow("key outside the basic plane, too long") << "key" << "abcd" << face << "abcd";
    QTest::newRow("joiner key, full") << "key" << "abcde" << QStringLiteral("\u200d") << "abcde";
    QTest::newRow("input method, fits") << "compose" << "ab" << "xyz" << "abxyz";
    QTest::newRow("input method, cut to fit") << "compose" << "ab" << "wxyz" << "abwxy";
    QTest::newRow("program insertion, too long") << "insert" << "abcd" << "\r\n" << "abcd";
    QTest::newRow("program insertion, fits") << "insert" << "abc" << "\r\n" << "abc\r\n";
    QTest::newRow("program text, cut") << "set" << "" << "abc\r\ndef" << "abc\r\n";
}

// A box of at most five characters.
void PlainTextEditTest::limitHoldsForEveryInput()
{
    QFETCH(QString, how);
    QFETCH(QString, before);
    QFETCH(QString, input);
    QFETCH(QString, after);
    PlainTextEdit box;
    box.setMaxLength(5);
    box.setText(before);
    box.moveCursor(QTextCursor::End);
    if (how == u"key") {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, input);
        QCoreApplication::sendEvent(&box, &key);
    } else if (how == u"compose") {
        QInputMethodEvent composed;
        composed.setCommitString(input);
        QCoreApplication::sendEvent(&box, &composed);
    } else if (how == u"insert") {
        QCOMPARE(box.replaceSelection(input), after != before);
    } else {
        box.setText(input);
    }
    QCOMPARE(box.text(), after);
    QVERIFY(box.length() <= 5);
}

void PlainTextEditTest::textBoxGotFocus_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("reported");
    QTest::newRow("Tab") << int(Qt::TabFocusReason) << true;
    QTest::newRow("mouse") << int(Qt::MouseFocusReason) << true;
    QTest::newRow("moved by the program") << int(Qt::OtherFocusReason) << true;
    QTest::newRow("window activated again") << int(Qt::ActiveWindowFocusReason) << true;
    QTest::newRow("context menu closed") << int(Qt::PopupFocusReason) << false;
}

void PlainTextEditTest::textBoxGotFocus()
{
    QFETCH(int, reason);
    QFETCH(bool, reported);
    LineEdit box;
    QSignalSpy gotFocus(&box, &LineEdit::gotFocus);
    QFocusEvent focusIn(QEvent::FocusIn, Qt::FocusReason(reason));
    QCoreApplication::sendEvent(&box, &focusIn);
    QCOMPARE(gotFocus.size(), reported ? 1 : 0);
}

QTEST_MAIN(PlainTextEditTest)
#include "tst_plaintextedit.moc"
