// Forum creation: the name field, the local checks and the create exchange's endings.
#include "ui/mainwindow.h"

#include "protocol/createexchange.h"
#include "protocol/forumname.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/picturebutton.h"

void MainWindow::createForum()
{
    const QString name = m_forumNameEdit->text();
    switch (checkForumName(name)) {
    case ForumNameCheck::ForbiddenCharacter:
        showMessage(tr("/ \\ : * ? \" < > | characters are not allowed."), Dialogs::Warning);
        m_forumNameEdit->setFocus();
        m_forumNameEdit->selectAll();
        return;
    case ForumNameCheck::HiddenCharacter:
        showMessage(tr("Invisible and control characters are not allowed."), Dialogs::Warning);
        m_forumNameEdit->setFocus();
        m_forumNameEdit->selectAll();
        return;
    case ForumNameCheck::Empty:
        showMessage(tr("Give your forum a name."), Dialogs::Warning);
        m_forumNameEdit->setFocus();
        m_forumNameEdit->selectAll();
        return;
    case ForumNameCheck::Ok:
        break;
    }
    m_busy->enter();
    m_createExchange->start(m_server.host, m_server.createPort, name);
}

void MainWindow::onForumExists()
{
    m_busy->leave();
    showMessage(tr("This forum already exists in Tavernly.  Create a new and different forum."),
                Dialogs::Warning);
    m_forumNameEdit->setFocus();
    m_forumNameEdit->selectAll();
}

void MainWindow::onForumCreated()
{
    m_busy->hideCursor(); // the work is done; the controls stay locked under the box
    m_forumNameEdit->setText(QString());
    m_directory->refresh(); // at once: the next list holds the new forum
    showMessage(tr("You have created a new forum in Tavernly!  Begin now by posting a message."),
                Dialogs::Information);
    m_busy->leave();
    m_titleEdit->setFocus();
}

// As after "EXISTS": the name stays for a later try.
void MainWindow::onCreateLimited()
{
    m_busy->leave();
    showMessage(tr("The server takes no more new forums from this computer for now.  Try again later."),
                Dialogs::Warning);
    m_forumNameEdit->setFocus();
    m_forumNameEdit->selectAll();
}

void MainWindow::onCreateFailed()
{
    m_busy->leave();
    showConnectionError();
}
