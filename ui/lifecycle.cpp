// Start-up, the busy state and shutdown.
#include "ui/mainwindow.h"

#include "protocol/createexchange.h"
#include "protocol/listexchange.h"
#include "protocol/postexchange.h"
#include "ui/previewwindow.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

void MainWindow::start()
{
    m_pageView->navigate(QStringLiteral("about:blank"));
    show();
    activateWindow();
    m_forumNameEdit->setFocus();
    m_forumNameEdit->selectAll();
    m_listExchange->start(m_server.host, m_server.listPort);
    m_pageView->navigate(m_server.startPage().toString());
}

// The busy state is the Enabled property of these nine, in this order.
std::array<QWidget *, 9> MainWindow::busyControls() const
{
    return {m_directoryList, m_forumNameEdit, m_titleEdit, m_bodyEdit, m_stampOption,
            m_createButton, m_clearNameButton, m_clearMessageButton, m_postButton};
}

// Disabling the focused field would push the focus along the tab chain (and
// select the title on its way), so the focus is parked instead and given back
// when the window is no longer busy, unless a handler has placed it since.
void MainWindow::enterBusy()
{
    const auto controls = busyControls();
    QWidget *focused = QApplication::focusWidget();
    if (focused && !m_focusBeforeBusy && std::find(controls.begin(), controls.end(), focused) != controls.end()) {
        m_focusBeforeBusy = focused;
        focused->clearFocus();
    }
    for (QWidget *control : controls)
        control->setEnabled(false);
    if (!m_busyCursor) {
        m_busyCursor = true;
        QGuiApplication::setOverrideCursor(Qt::BusyCursor); // at work, and still usable
    }
}

void MainWindow::hideBusyCursor()
{
    if (m_busyCursor) {
        m_busyCursor = false;
        QGuiApplication::restoreOverrideCursor();
    }
}

void MainWindow::leaveBusy()
{
    hideBusyCursor();
    for (QWidget *control : busyControls())
        control->setEnabled(true);
    if (m_focusBeforeBusy && !QApplication::focusWidget())
        m_focusBeforeBusy->setFocus();
    m_focusBeforeBusy = nullptr;
}

// Closing the main window ends the program at once, whatever is in flight.
void MainWindow::closeEvent(QCloseEvent *event)
{
    m_refreshTimer->stop();
    m_listExchange->abandon();
    m_createExchange->abandon();
    m_postExchange->cancel();
    hideBusyCursor();
    if (m_previewWindow)
        m_previewWindow->close();
    event->accept();
    QCoreApplication::quit();
}
