#include "ui/widgets/plaintextedit.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>

namespace {

// Text as the field shows it: one "\n" per line break.
QString toShown(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

bool isBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

int crlfLength(QStringView shown)
{
    int breaks = 0;
    for (QChar c : shown)
        breaks += isBreak(c);
    return int(shown.size()) + breaks;
}

// The longest beginning of shown that takes at most room characters.
QString fitting(const QString &shown, int room)
{
    int used = 0;
    qsizetype i = 0;
    for (; i < shown.size(); ++i) {
        const int width = isBreak(shown.at(i)) ? 2 : 1;
        if (used + width > room)
            break;
        used += width;
    }
    if (i > 0 && i < shown.size() && shown.at(i - 1).isHighSurrogate())
        --i; // never split a character in two
    return shown.left(i);
}

// A key that may put text into the field beyond a single printable
// character: a character outside the basic plane, a joiner, a private-use sign.
bool insertsText(const QKeyEvent *event)
{
    const QString text = event->text();
    if (text.isEmpty() || text.at(0).category() == QChar::Other_Control)
        return false;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    return modifiers != Qt::ControlModifier && modifiers != (Qt::ControlModifier | Qt::ShiftModifier);
}

} // namespace

PlainTextEdit::PlainTextEdit(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

QString PlainTextEdit::text() const
{
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    text.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    return text;
}

void PlainTextEdit::setText(const QString &text)
{
    const QString shown = toShown(text);
    setPlainText(m_maxLength > 0 ? fitting(shown, m_maxLength) : shown);
}

int PlainTextEdit::length() const
{
    return crlfLength(document()->toRawText());
}

QString PlainTextEdit::selectedText() const
{
    QString text = textCursor().selectedText();
    text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return text;
}

int PlainTextEdit::room() const
{
    if (m_maxLength <= 0)
        return std::numeric_limits<int>::max();
    return m_maxLength - length() + crlfLength(textCursor().selectedText());
}

bool PlainTextEdit::replaceSelection(const QString &text)
{
    const QString shown = toShown(text);
    if (crlfLength(shown) > room())
        return false;
    QTextCursor cursor = textCursor();
    cursor.insertText(shown);
    setTextCursor(cursor);
    return true;
}

void PlainTextEdit::select(int start, int length)
{
    QTextCursor cursor(document());
    const int end = document()->characterCount() - 1;
    cursor.setPosition(qBound(0, start, end));
    cursor.setPosition(qBound(0, start + length, end), QTextCursor::KeepAnchor);
    setTextCursor(cursor);
}

void PlainTextEdit::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        Q_EMIT returnPressed();
        return;
    }
    // A printable key adds one character, whatever is held with it.
    const QString text = event->text();
    const bool printable = text.size() == 1 && text.at(0).isPrint();
    if ((printable || insertsText(event)) && crlfLength(text) > room()) {
        QApplication::beep();
        event->accept();
        Q_EMIT limitReached();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void PlainTextEdit::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    Q_EMIT gotFocus();
}

void PlainTextEdit::insertFromMimeData(const QMimeData *source)
{
    if (!source || !source->hasText())
        return;
    // A paste takes what fits, like any text field; a line break goes in
    // whole or not at all.
    const QStringList lines = toShown(source->text()).split(QLatin1Char('\n'));
    const QString lineBreak = toShown(m_pastedLineBreak);
    QString shown;
    int left = room();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            if (crlfLength(lineBreak) > left)
                break;
            shown += lineBreak;
            left -= crlfLength(lineBreak);
        }
        const QString part = fitting(lines.at(i), left);
        shown += part;
        left -= crlfLength(part);
        if (part.size() < lines.at(i).size())
            break;
    }
    if (!shown.isEmpty()) {
        QTextCursor cursor = textCursor();
        cursor.insertText(shown);
        setTextCursor(cursor);
    }
    if (shown.size() < lines.join(lineBreak).size())
        Q_EMIT limitReached();
}

// Text composed with an input method is typing too: what does not fit is dropped.
void PlainTextEdit::inputMethodEvent(QInputMethodEvent *event)
{
    const QString commit = toShown(event->commitString());
    if (m_maxLength <= 0 || crlfLength(commit) <= room()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    QApplication::beep();
    QInputMethodEvent fitted(event->preeditString(), event->attributes());
    fitted.setCommitString(fitting(commit, room()), event->replacementStart(), event->replacementLength());
    QPlainTextEdit::inputMethodEvent(&fitted);
    event->accept();
    Q_EMIT limitReached();
}
