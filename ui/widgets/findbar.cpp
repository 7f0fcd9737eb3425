#include "ui/widgets/findbar.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>

FindBar::FindBar(QTextEdit &view)
    : QFrame(&view)
    , m_view(view)
    , m_field(new QLineEdit(this))
    , m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("findBar"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    setAutoFillBackground(true);
    m_field->setObjectName(QStringLiteral("findField"));
    m_field->setPlaceholderText(tr("Find in page"));
    m_field->setAccessibleName(tr("Find in page"));
    m_field->installEventFilter(this);
    m_status->setObjectName(QStringLiteral("findStatus"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(m_field, 1);
    layout->addWidget(m_status);
    connect(m_field, &QLineEdit::textChanged, this, &FindBar::findFirst);
    hide();
}

QString FindBar::status() const
{
    return m_status->text();
}

void FindBar::open()
{
    QWidget *focused = QApplication::focusWidget();
    if (!isVisible() && focused != m_field)
        m_focusBefore = focused;
    const bool opening = isHidden();
    show();
    raise();
    if (opening)
        Q_EMIT shownChanged();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void FindBar::close()
{
    // The focus goes back first: hiding the field that has it would hand it
    // on to the page's next link, and the page would scroll there.
    if (m_focusBefore)
        m_focusBefore->setFocus(Qt::OtherFocusReason);
    else
        m_view.setFocus(Qt::OtherFocusReason);
    m_focusBefore = nullptr;
    hide();
    Q_EMIT shownChanged();
}

void FindBar::findFirst()
{
    QTextCursor start = m_view.textCursor();
    start.movePosition(QTextCursor::Start);
    m_view.setTextCursor(start);
    find(false);
}

// From the selection on, wrapping around at the end (or the start).
void FindBar::find(bool backward)
{
    const QString text = m_field->text();
    m_status->clear();
    if (text.isEmpty())
        return;
    const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (m_view.find(text, flags))
        return;
    const QTextCursor before = m_view.textCursor();
    QTextCursor wrapped = before;
    wrapped.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
    m_view.setTextCursor(wrapped);
    if (m_view.find(text, flags))
        return;
    QTextCursor none = before;
    none.clearSelection();
    m_view.setTextCursor(none);
    m_status->setText(tr("No match"));
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F3:
            find(shift);
            return true;
        case Qt::Key_Escape:
            close();
            return true;
        default:
            break;
        }
    }
    return QFrame::eventFilter(watched, event);
}
