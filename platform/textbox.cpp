#include "platform/textbox.h"

#include <QKeyEvent>

int keyCodeOf(const QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        return 13;
    const QString text = event->text();
    if (text.size() == 1 && text.at(0).isPrint())
        return text.at(0).unicode();
    return 0;
}

TextBox::TextBox(QWidget *parent)
    : QLineEdit(parent)
{
}

int TextBox::SelStart() const
{
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void TextBox::select(int start, int length)
{
    const int from = qBound(0, start, int(text().size()));
    const int to = qBound(from, from + length, int(text().size()));
    setSelection(from, to - from);
}

void TextBox::keyPressEvent(QKeyEvent *event)
{
    const int typed = keyCodeOf(event);
    if (typed != 0) {
        int code = typed;
        Q_EMIT keyPress(code);
        if (code != typed) {
            // Swallowed, or replaced by another character.
            if (code != 0)
                insert(QString(QChar(char16_t(code))));
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TextBox::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    // A closing context menu hands the focus back, but the field never really
    // lost it: selecting all then would make the menu's Paste replace the text.
    if (event->reason() != Qt::PopupFocusReason)
        Q_EMIT gotFocus();
}
