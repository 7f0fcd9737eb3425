// The post button: checks, the content warning, the busy state, the stored title, connect.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/socket.h"
#include "platform/textbox.h"
#include "post/assembly.h"

void Form1::btnPost_Click()
{
    const QString title = Text2->Text();
    const QString body = Text3->Text();
    switch (checkPost(title, body, List1->Text())) {
    case PostCheck::RefreshTag:
        showMessage(tr("The REFRESH meta tag is not allowed."), Dialogs::Warning);
        return;
    case PostCheck::Asterisk:
        showMessage(tr("Remove the asterisk from your post."), Dialogs::Warning);
        Text2->setFocus();
        return;
    case PostCheck::Empty:
        showMessage(tr("Enter a tile and body for your post."), Dialogs::Warning);
        Text2->setFocus();
        return;
    case PostCheck::NoForum:
        showMessage(tr("Select a forum to post a message to."), Dialogs::Warning);
        List1->setFocus();
        return;
    case PostCheck::Ok:
        break;
    }

    List1->setTag(QString::number(List1->ListIndex()));
    showMessage(tr("WARNING:\r\nForums created or Posts containing explicit language will be removed upon notice."),
                Dialogs::Information);
    DisableAll();
    closeSocket(*sckPost);
    const bool stamped = btnCheck->Tag() == QLatin1String("CH");
    const QString moment = stamped ? dateTimeStamp(m_clock.now(), m_clock.locale()) : QString();
    Text2->setTag(storedTitle(Text2->Text(), stamped, moment));
    // A post that neither completes nor fails still ends. Started before the
    // connect, so that an error reported at once finds it running and stops it.
    m_postLimit.start();
    sckPost->Connect(m_server.host, m_server.postPort);
}
