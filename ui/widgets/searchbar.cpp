#include "ui/widgets/searchbar.h"

#include "protocol/pageaddress.h"
#include "ui/widgets/findbar.h"
#include "ui/widgets/htmlview.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShortcut>

SearchBar::SearchBar(HtmlView &view)
    : QFrame(&view)
    , m_view(view)
    , m_field(new QLineEdit(this))
    , m_findBar(view.findBar())
{
    setObjectName(QStringLiteral("searchBar"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    setAutoFillBackground(true);
    m_field->setObjectName(QStringLiteral("searchField"));
    m_field->setPlaceholderText(tr("Search all forums"));
    m_field->setAccessibleName(tr("Search all forums"));
    m_field->installEventFilter(this);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(m_field, 1);
    hide();
    // The find bar's place: follows the view's size; whichever bar opens last is the one shown.
    m_view.installEventFilter(this);
    m_findBar->installEventFilter(this);
    new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), &m_view, [this] { open(); },
                  Qt::WindowShortcut);
    // A search the server did not answer says so on the line a saved copy's notice takes.
    connect(&m_view, &HtmlView::loadFailed, this, [this](const QUrl &address) {
        if (address != m_searched)
            return;
        m_view.setHtml(QStringLiteral("<p><i>%1</i></p>")
                           .arg(tr("The server cannot be reached. Please search again when it "
                                   "can be.")
                                    .toHtmlEscaped()));
    });
}

void SearchBar::open()
{
    QWidget *focused = QApplication::focusWidget();
    if (!isVisible() && focused != m_field)
        m_focusBefore = focused;
    m_view.findBar()->hide();
    place();
    show();
    raise();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void SearchBar::close()
{
    hide();
    if (m_focusBefore)
        m_focusBefore->setFocus(Qt::OtherFocusReason);
    else
        m_view.setFocus(Qt::OtherFocusReason);
    m_focusBefore = nullptr;
}

void SearchBar::search()
{
    const QString words = m_field->text().simplified();
    if (words.isEmpty() || !m_view.serverOrigin().isValid())
        return;
    m_searched = m_view.serverOrigin().resolved(
        QUrl::fromEncoded(pageaddress::searchPath(words).toLatin1(), QUrl::StrictMode));
    m_view.navigate(m_searched.toString(QUrl::FullyEncoded));
}

void SearchBar::place()
{
    const int height = sizeHint().height();
    const QRect area = m_view.viewport()->geometry();
    setGeometry(area.left(), area.bottom() + 1 - height, area.width(), height);
}

bool SearchBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == &m_view && event->type() == QEvent::Resize)
        place();
    if (watched == m_findBar && event->type() == QEvent::Show)
        hide();
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: search(); return true;
        case Qt::Key_Escape: close(); return true;
        default: break;
        }
    }
    return QFrame::eventFilter(watched, event);
}
