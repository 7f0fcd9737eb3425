// Posting: the checks, the content warning, the busy state, the stored title,
// and the post exchange's endings.
#include "ui/composer.h"

#include "protocol/postassembly.h"
#include "protocol/postexchange.h"
#include "ui/busystate.h"
#include "ui/clock.h"
#include "ui/directory.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/plaintextedit.h"

void Composer::postMessage()
{
    const QString title = m_controls.title->text();
    const QString body = m_controls.body->text();
    const QString forum = m_directory.selectedForum();
    switch (checkPost(title, body, forum)) {
    case PostCheck::RefreshTag:
        showMessage(tr("The REFRESH meta tag is not allowed."), Dialogs::Warning);
        return;
    case PostCheck::Asterisk:
        showMessage(tr("Remove the asterisk from your post."), Dialogs::Warning);
        m_controls.title->setFocus();
        return;
    case PostCheck::Empty:
        showMessage(tr("Enter a tile and body for your post."), Dialogs::Warning);
        m_controls.title->setFocus();
        return;
    case PostCheck::NoForum:
        showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
        m_directory.list().setFocus();
        return;
    case PostCheck::Ok:
        break;
    }

    m_draft.forum = forum;
    m_draft.position = m_directory.selectedIndex();
    showMessage(tr("WARNING:\r\nForums created or Posts containing explicit language will be removed upon notice."),
                Dialogs::Information);
    m_busy.enter();
    const QString moment = m_stampWanted ? dateTimeStamp(m_clock.now(), m_clock.locale()) : QString();
    m_draft.storedTitle = storedTitle(m_controls.title->text(), m_stampWanted, moment);
    m_draft.body = m_controls.body->text();
    m_postExchange->start(m_server.host, m_server.postPort);
}

void Composer::sendPost()
{
    if (!m_directory.isListed(m_draft.forum)) {
        // A refresh dropped the forum after the checks: a post to it would be
        // thrown away by the server, yet reported as posted.
        m_postExchange->cancel();
        m_busy.leave();
        QMetaObject::invokeMethod(this, [this] {
            showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
            m_directory.list().setFocus();
        }, Qt::QueuedConnection); // once the socket's event is over
        return;
    }
    m_postExchange->send(postRequest(m_draft.forum, m_draft.storedTitle, m_draft.body));
}

void Composer::onPostSent()
{
    m_controls.title->setText(QString());
    m_controls.body->setText(QString());
    dropDraft();
    m_busy.leave();
    showMessage(tr("Message posted."), Dialogs::Information);
    m_controls.title->setFocus();
    // Found by name: a refresh may have moved it. One no longer listed leaves
    // nothing selected, and no page is shown.
    m_directory.openForum(m_draft.forum);
}

void Composer::onPostFailed()
{
    m_busy.leave();
    Q_EMIT connectionFailed();
}
