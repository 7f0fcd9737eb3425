#include "ui/widgets/lineedit.h"

#include <QFocusEvent>

LineEdit::LineEdit(QWidget *parent)
    : QLineEdit(parent)
{
}

int LineEdit::selectionStartOrCaret() const
{
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void LineEdit::select(int start, int length)
{
    const int from = qBound(0, start, int(text().size()));
    const int to = qBound(from, from + length, int(text().size()));
    setSelection(from, to - from);
}

void LineEdit::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    // A closing context menu hands the focus back, but the field never really
    // lost it: selecting all then would make the menu's Paste replace the text.
    if (event->reason() != Qt::PopupFocusReason)
        Q_EMIT gotFocus();
}
