#pragma once
// A one-line text field: selection by start and length, and a gotFocus signal
// the window handles (Enter comes as QLineEdit's returnPressed).

#include <QLineEdit>

class LineEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit LineEdit(QWidget *parent = nullptr);

    int selectionStartOrCaret() const;
    // Selects length characters from start, clamped to the text.
    void select(int start, int length);
    void selectAll() { select(0, text().size()); }

Q_SIGNALS:
    // The field gained the focus (not when a context menu hands it back).
    void gotFocus();

protected:
    void focusInEvent(QFocusEvent *event) override;
};
