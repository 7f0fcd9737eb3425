#pragma once
// A list of entries in the order added, one selected entry, a tool tip and a
// horizontal extent. It shows no horizontal scroll bar of its own accord:
// once given an extent E it scrolls sideways over E minus its visible width,
// and keeps E until the next one.

#include <QListWidget>

class ListWidgetDelegate;

class ListWidget : public QListWidget
{
    Q_OBJECT
public:
    explicit ListWidget(QWidget *parent = nullptr);
    ~ListWidget() override;

    // The selected entry's text; empty when nothing is selected.
    QString selectedEntry() const;
    // The selected entry's position, or -1.
    int selectedIndex() const;
    // Selects the entry at index; an index outside the list leaves it unselected.
    void setSelectedIndex(int index);

    // Replaces every entry at once (one layout, not one per entry).
    void setEntries(const QStringList &entries);
    QStringList entries() const;

    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return m_extent; }

Q_SIGNALS:
    // A double click or Enter: the selected entry is to be opened.
    void entryOpened();
    void mouseMoved();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:

    // The entries' texts as last set or read; dropped by any change of the entries.
    mutable QStringList m_entries;
    mutable bool m_entriesKnown = true;
    int m_extent = 0;
    ListWidgetDelegate *m_delegate;
};
