#pragma once
// A search bar in the find bar's place, over the bottom of the page view:
// Enter shows the server's search page for the words typed in the view,
// whose links lead to the messages found (and Alt+Left back to the results).
// Ctrl+Shift+F opens it, Escape closes it and gives the focus back; hidden,
// it is out of the tab order. The find bar and it take turns in that place.
// Lives on the user-interface thread.

#include <QFrame>
#include <QPointer>
#include <QUrl>

class HtmlView;
class QLineEdit;

class SearchBar : public QFrame
{
    Q_OBJECT
public:
    explicit SearchBar(HtmlView &view);

    void open();
    void close();
    QLineEdit *field() const { return m_field; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void search();
    void place();

    HtmlView &m_view;
    QLineEdit *m_field;
    // Compared only: its events keep coming while the view is taken down.
    QWidget *m_findBar;
    QPointer<QWidget> m_focusBefore;
    QUrl m_searched; // the last search page asked for
};
