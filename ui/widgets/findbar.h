#pragma once
// A find bar over the bottom of a text view: typing selects the first match
// and scrolls it into view; Enter or F3 goes to the next, Shift with either to
// the previous, both wrapping around; no match is said in the bar. Escape
// closes it and gives the focus back to where it was. Hidden, it is out of
// the tab order. Lives on the user-interface thread.

#include <QFrame>
#include <QPointer>

class QLabel;
class QLineEdit;
class QTextEdit;

class FindBar : public QFrame
{
    Q_OBJECT
public:
    explicit FindBar(QTextEdit &view);

    void open();
    void close();
    void findNext() { find(false); }
    void findPrevious() { find(true); }

    QLineEdit *field() const { return m_field; }
    QString status() const;

Q_SIGNALS:
    // The bar has been opened or closed: the view makes room for it, or takes it back.
    void shownChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void findFirst();
    void find(bool backward);

    QTextEdit &m_view;
    QLineEdit *m_field;
    QLabel *m_status;
    QPointer<QWidget> m_focusBefore;
};
