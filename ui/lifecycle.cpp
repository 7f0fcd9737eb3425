// Start-up and shutdown.
#include "ui/mainwindow.h"

#include "protocol/createexchange.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"

#include <QCloseEvent>
#include <QCoreApplication>

void MainWindow::start()
{
    m_pageView->navigate(QStringLiteral("about:blank"));
    show();
    activateWindow();
    m_forumNameEdit->setFocus();
    m_forumNameEdit->selectAll();
    m_directory->refresh();
    m_pageView->navigate(m_server.startPage().toString());
}

// Closing the main window ends the program at once, whatever is in flight.
void MainWindow::closeEvent(QCloseEvent *event)
{
    m_directory->stop();
    m_createExchange->abandon();
    m_composer->stop();
    m_busy->hideCursor();
    event->accept();
    QCoreApplication::quit();
}
