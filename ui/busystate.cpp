#include "ui/busystate.h"

#include <QApplication>
#include <QWidget>

// Disabling the focused field would push the focus along the tab chain (and
// select the title on its way), so the focus is parked instead and given back
// when the window is no longer busy, unless a handler has placed it since.
void BusyState::enter()
{
    QWidget *focused = QApplication::focusWidget();
    if (focused && !m_focusBefore && m_controls.contains(focused)) {
        m_focusBefore = focused;
        focused->clearFocus();
    }
    for (QWidget *control : std::as_const(m_controls))
        control->setEnabled(false);
    if (!m_cursorShown) {
        m_cursorShown = true;
        QGuiApplication::setOverrideCursor(Qt::BusyCursor); // at work, and still usable
    }
}

void BusyState::hideCursor()
{
    if (m_cursorShown) {
        m_cursorShown = false;
        QGuiApplication::restoreOverrideCursor();
    }
}

void BusyState::leave()
{
    hideCursor();
    for (QWidget *control : std::as_const(m_controls))
        control->setEnabled(true);
    if (m_focusBefore && !QApplication::focusWidget())
        m_focusBefore->setFocus();
    m_focusBefore = nullptr;
}
