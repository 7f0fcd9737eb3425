#pragma once
// The busy state: while a create or a post is under way, the nine input
// controls are locked and the pointer says the program is at work.
// Lives on the user-interface thread.

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

class BusyState : public QObject
{
    Q_OBJECT
public:
    explicit BusyState(QObject *parent = nullptr)
        : QObject(parent)
    {
    }
    // A state ended while busy leaves no busy pointer behind.
    ~BusyState() override { hideCursor(); }

    // The controls locked, in the order they are locked.
    void setControls(const QList<QWidget *> &controls) { m_controls = controls; }
    QList<QWidget *> controls() const { return m_controls; }

    void enter();
    void leave();
    // The work is done; the controls may stay locked under a box.
    void hideCursor();

private:
    QList<QWidget *> m_controls;
    QPointer<QWidget> m_focusBefore;
    bool m_cursorShown = false;
};
