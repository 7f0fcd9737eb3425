#include "ui/widgets/listwidget.h"

#include <QKeyEvent>
#include <QPointer>
#include <QScrollBar>
#include <QStyledItemDelegate>

// Every entry is as wide as the extent (or the view), so the view's own
// scroll range is exactly the extent minus the visible width.
// It asks only its own widgets, so it stays sound while the list is torn down.
class ListWidgetDelegate : public QStyledItemDelegate
{
public:
    ListWidgetDelegate(QWidget *viewport, QObject *parent)
        : QStyledItemDelegate(parent)
        , m_viewport(viewport)
    {
    }

    void setExtent(int extent) { m_extent = extent; }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const int width = qMax(m_extent, m_viewport ? m_viewport->width() : 0);
        return QSize(width, QStyledItemDelegate::sizeHint(option, index).height());
    }

private:
    QPointer<QWidget> m_viewport;
    int m_extent = 0;
};

ListWidget::ListWidget(QWidget *parent)
    : QListWidget(parent)
{
    m_delegate = new ListWidgetDelegate(viewport(), this);
    setItemDelegate(m_delegate);
    setUniformItemSizes(true);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setMouseTracking(true);

    const auto forget = [this] { m_entriesKnown = false; };
    QAbstractItemModel *entries = model();
    connect(entries, &QAbstractItemModel::rowsInserted, this, forget);
    connect(entries, &QAbstractItemModel::rowsRemoved, this, forget);
    connect(entries, &QAbstractItemModel::rowsMoved, this, forget);
    connect(entries, &QAbstractItemModel::dataChanged, this, forget);
    connect(entries, &QAbstractItemModel::layoutChanged, this, forget);
    connect(entries, &QAbstractItemModel::modelReset, this, forget);
}

ListWidget::~ListWidget()
{
    model()->disconnect(this); // the entries go after this object's own part
}

QString ListWidget::selectedEntry() const
{
    const int index = selectedIndex();
    return index < 0 ? QString() : item(index)->text();
}

int ListWidget::selectedIndex() const
{
    const QList<QListWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? -1 : row(selected.first());
}

void ListWidget::setSelectedIndex(int index)
{
    if (index < 0 || index >= count()) {
        clearSelection();
        return;
    }
    setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

void ListWidget::setEntries(const QStringList &entries)
{
    setUpdatesEnabled(false);
    clear();
    addItems(entries);
    setUpdatesEnabled(true);
    if (!isSortingEnabled()) {
        m_entries = entries;
        m_entriesKnown = true;
    }
}

// Kept once read: the horizontal extent walks every entry after each refill.
QStringList ListWidget::entries() const
{
    if (m_entriesKnown)
        return m_entries;
    QStringList all;
    all.reserve(count());
    for (int i = 0; i < count(); ++i)
        all.append(item(i)->text());
    m_entries = all;
    m_entriesKnown = true;
    return all;
}

void ListWidget::setHorizontalExtent(int pixels)
{
    m_extent = qMax(0, pixels);
    m_delegate->setExtent(m_extent);
    setHorizontalScrollBarPolicy(m_extent > 0 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    scheduleDelayedItemsLayout();
}

void ListWidget::mouseDoubleClickEvent(QMouseEvent *event)
{
    QListWidget::mouseDoubleClickEvent(event);
    Q_EMIT entryOpened();
}

void ListWidget::mouseMoveEvent(QMouseEvent *event)
{
    QListWidget::mouseMoveEvent(event);
    Q_EMIT mouseMoved();
}

void ListWidget::keyPressEvent(QKeyEvent *event)
{
    // Enter opens the selected entry, as a double click does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        Q_EMIT entryOpened();
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}
