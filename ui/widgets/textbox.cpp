#include "ui/widgets/textbox.h"

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

int TextBox::selectionStartOrCaret() const
{
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void TextBox::select(int start, int length)
{
    const int from = qBound(0, start, int(text().size()));
    const int to = qBound(from, from + length, int(text().size()));
    setSelection(from, to - from);
}

bool offerKeyPress(QKeyEvent *event, const std::function<void(int &)> &keyPress,
                   const std::function<void(const QString &)> &insert)
{
    const int typed = keyCodeOf(event);
    if (typed == 0)
        return false;
    int code = typed;
    keyPress(code);
    if (code == typed)
        return false;
    if (code != 0)
        insert(QString(QChar(char16_t(code))));
    event->accept();
    return true;
}

void TextBox::keyPressEvent(QKeyEvent *event)
{
    const bool handled = offerKeyPress(
        event, [this](int &code) { Q_EMIT keyPress(code); }, [this](const QString &text) { insert(text); });
    if (!handled)
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
