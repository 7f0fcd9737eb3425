// The post exchange: the request goes out on connect; a completed send is success.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "platform/dialogs.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/socket.h"
#include "platform/textbox.h"
#include "post/assembly.h"

void Form1::sckPost_Connect()
{
    const QString forum = List1->Text();
    if (forum.isEmpty()) {
        // A refresh dropped the selection after the checks: a post without a
        // forum would be thrown away by the server, yet reported as posted.
        m_postLimit.stop();
        closeSocket(*sckPost);
        EnableAll();
        showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
        List1->setFocus();
        return;
    }
    const QString title = Text2->Tag();
    const QString body = Text3->Text();
    sckPost->SendData(postRequest(forum, title, body));
}

void Form1::sckPost_SendComplete()
{
    m_postLimit.stop();
    closeSocket(*sckPost);
    Text2->setText(QString());
    Text3->setText(QString());
    EnableAll();
    showMessage(tr("Message posted."), Dialogs::Information);
    Text2->setFocus();
    // A position the refreshed list no longer has leaves it unselected, and no page is shown.
    List1->setListIndex(List1->Tag().toInt());
    List1_DblClick();
}

void Form1::sckPost_Error()
{
    endPostAsError();
}

void Form1::endPostAsError()
{
    m_postLimit.stop();
    EnableAll();
    closeSocket(*sckPost);
    showConnectionError();
}
