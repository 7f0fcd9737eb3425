#pragma once
// A one-line text box: text, selection, a length limit, and the
// keyPress and gotFocus signals the window handles.

#include <QLineEdit>

#include <functional>

class TextBox : public QLineEdit
{
    Q_OBJECT
public:
    explicit TextBox(QWidget *parent = nullptr);

    int selectionStartOrCaret() const;
    // Selects length characters from start, clamped to the text.
    void select(int start, int length);
    void selectAll() { select(0, text().size()); }

Q_SIGNALS:
    // A character key: keyCode is its character code (13 for Enter). A handler
    // that sets it to 0 swallows the key.
    void keyPress(int &keyCode);
    // The field gained the focus (not when a context menu hands it back).
    void gotFocus();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;

private:
};

// The character code a key press carries, or 0 for keys that carry none.
int keyCodeOf(const QKeyEvent *event);

// Offers a character key to a KeyPress handler, which may change its code.
// Returns true when the handler swallowed the key (code 0) or replaced it by
// another character, which `insert` then receives; the event is accepted.
bool offerKeyPress(QKeyEvent *event, const std::function<void(int &)> &keyPress,
                   const std::function<void(const QString &)> &insert);
