#pragma once
// A multi-line text field. Its text reads and writes with CR LF line breaks,
// and its length limit counts each line break as those two characters. The
// limit holds for typing, pasting and insertions by the program alike; typing
// or pasting that meets it says so (limitReached). Enter inserts nothing of
// its own: it is returnPressed(), for the window to handle.

#include <QPlainTextEdit>

class PlainTextEdit : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit PlainTextEdit(QWidget *parent = nullptr);

    QString text() const;
    void setText(const QString &text);
    int length() const; // in CR LF terms

    void setMaxLength(int maxLength) { m_maxLength = maxLength; }
    int maxLength() const { return m_maxLength; }
    // What a pasted line break becomes (as written to the text: CR LF for a break).
    void setPastedLineBreak(const QString &text) { m_pastedLineBreak = text; }

    // Replaces the selection (or inserts at the caret) and leaves the caret after
    // the new text. Inserts nothing and returns false if the result would pass
    // the length limit, so no text is ever cut.
    bool replaceSelection(const QString &text);
    QString selectedText() const;

    // Selects, in characters of the text as shown (a line break is one).
    void select(int start, int length);

Q_SIGNALS:
    void returnPressed();
    void gotFocus();
    // Typed or pasted text did not fit, wholly or in part.
    void limitReached();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
    void inputMethodEvent(QInputMethodEvent *event) override;

private:
    int room() const; // characters that may still be added in place of the selection
    int m_maxLength = 0; // 0: no limit
    QString m_pastedLineBreak = QStringLiteral("\n");
};
