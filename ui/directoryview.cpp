// The directory list: filling it, opening a forum's page, its tool tip.
#include "ui/mainwindow.h"

#include "protocol/listexchange.h"
#include "ui/listextent.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/listwidget.h"

void MainWindow::setPageCacheFolder(const QString &folder)
{
    m_pageView->setCacheFolder(folder);
}

// Abandons any list exchange under way and starts a new one.
void MainWindow::refreshDirectory()
{
    m_listExchange->start(m_server.host, m_server.listPort);
}

void MainWindow::showDirectory(const QStringList &names)
{
    // The range depends on the names alone, and most refreshes bring the same
    // ones: measuring every name of a large directory again would cost more
    // than all the rest of the refresh.
    const bool sameNames = names == m_directoryList->entries();
    m_directoryList->setEntries(names);
    if (!sameNames)
        fitHorizontalExtent(*m_directoryList);
}

// The directory keeps what it had.
void MainWindow::onDirectoryFailed()
{
    // The box already open says the same; another one for every failing tick
    // would pile up without end while the user is away.
    if (m_connectionErrorsOpen == 0)
        showConnectionError();
}

void MainWindow::openSelectedForum()
{
    const QString forum = m_directoryList->selectedEntry();
    if (forum.isEmpty())
        return;
    m_pageView->navigate(QStringLiteral("about:blank"));
    m_pageView->navigate(m_server.forumPage(forum).toString(QUrl::FullyEncoded));
}

void MainWindow::showForumTip()
{
    const QString forum = m_directoryList->selectedEntry();
    if (!forum.isEmpty())
        m_directoryList->setToolTip(tr(" Double-Click to view the ''%1'' forum ").arg(forum));
}
