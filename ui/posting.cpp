// Posting: the checks, the content warning, the busy state, the stored title,
// and the post exchange's endings.
#include "ui/mainwindow.h"

#include "protocol/postassembly.h"
#include "protocol/postexchange.h"
#include "ui/clock.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/plaintextedit.h"

void MainWindow::postMessage()
{
    const QString title = m_titleEdit->text();
    const QString body = m_bodyEdit->text();
    const QString forum = m_directoryList->selectedEntry();
    switch (checkPost(title, body, forum)) {
    case PostCheck::RefreshTag:
        showMessage(tr("The REFRESH meta tag is not allowed."), Dialogs::Warning);
        return;
    case PostCheck::Asterisk:
        showMessage(tr("Remove the asterisk from your post."), Dialogs::Warning);
        m_titleEdit->setFocus();
        return;
    case PostCheck::Empty:
        showMessage(tr("Enter a tile and body for your post."), Dialogs::Warning);
        m_titleEdit->setFocus();
        return;
    case PostCheck::NoForum:
        showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
        m_directoryList->setFocus();
        return;
    case PostCheck::Ok:
        break;
    }

    m_draft.forum = forum;
    m_draft.position = m_directoryList->selectedIndex();
    showMessage(tr("WARNING:\r\nForums created or Posts containing explicit language will be removed upon notice."),
                Dialogs::Information);
    enterBusy();
    const QString moment = m_stampWanted ? dateTimeStamp(m_clock.now(), m_clock.locale()) : QString();
    m_draft.storedTitle = storedTitle(m_titleEdit->text(), m_stampWanted, moment);
    m_draft.body = m_bodyEdit->text();
    m_postExchange->start(m_server.host, m_server.postPort);
}

void MainWindow::sendPost()
{
    if (m_directoryList->selectedEntry().isEmpty()) {
        // A refresh dropped the selection after the checks: a post without a
        // forum would be thrown away by the server, yet reported as posted.
        m_postExchange->cancel();
        leaveBusy();
        QMetaObject::invokeMethod(this, [this] {
            showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
            m_directoryList->setFocus();
        }, Qt::QueuedConnection); // once the socket's event is over
        return;
    }
    m_postExchange->send(postRequest(m_draft.forum, m_draft.storedTitle, m_draft.body));
}

void MainWindow::onPostSent()
{
    m_titleEdit->setText(QString());
    m_bodyEdit->setText(QString());
    leaveBusy();
    showMessage(tr("Message posted."), Dialogs::Information);
    m_titleEdit->setFocus();
    // A position the refreshed list no longer has leaves it unselected, and no page is shown.
    m_directoryList->setSelectedIndex(m_draft.position);
    openSelectedForum();
}

void MainWindow::onPostFailed()
{
    leaveBusy();
    showConnectionError();
}
