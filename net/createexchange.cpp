// Forum creation: the name field, the local checks and the create exchange.
#include "app/form1.h"
#include "net/forumname.h"
#include "net/replies.h"
#include "platform/dialogs.h"
#include "platform/socket.h"
#include "platform/textbox.h"

void Form1::Text1_GotFocus()
{
    Text1->selectAll();
}

void Form1::Text1_KeyPress(int &KeyAscii)
{
    if (KeyAscii == 13) {
        KeyAscii = 0;
        btnCreate_Click();
    }
}

void Form1::btnCreate_Click()
{
    const QString name = Text1->Text();
    switch (checkForumName(name)) {
    case ForumNameCheck::ForbiddenCharacter:
        showMessage(tr("/ \\ : * ? \" < > | characters are not allowed."), Dialogs::Warning);
        Text1->setFocus();
        Text1->selectAll();
        return;
    case ForumNameCheck::Empty:
        showMessage(tr("Give your forum a name."), Dialogs::Warning);
        Text1->setFocus();
        Text1->selectAll();
        return;
    case ForumNameCheck::Ok:
        break;
    }
    DisableAll();
    closeSocket(*sckCreate);
    m_createReply.clear();
    m_createLimit.start(); // the window is never left locked; before Connect, which may fail at once
    sckCreate->Connect(m_server.host, m_server.createPort);
}

void Form1::sckCreate_Connect()
{
    sckCreate->SendData(Text1->Text());
}

void Form1::sckCreate_DataArrival()
{
    m_createReply += sckCreate->GetData();
    switch (classifyCreateReply(m_createReply)) {
    case CreateReply::Incomplete:
        return;
    case CreateReply::Unrecognised:
        endCreateAsError();
        return;
    case CreateReply::Exists:
        m_createLimit.stop();
        EnableAll();
        closeSocket(*sckCreate);
        showMessage(tr("This forum already exists in Tavernly.  Create a new and different forum."),
                    Dialogs::Warning);
        Text1->setFocus();
        Text1->selectAll();
        return;
    case CreateReply::Created:
        m_createLimit.stop();
        closeSocket(*sckCreate);
        Text1->setText(QString());
        refreshDirectory(); // at once: the next list holds the new forum
        showMessage(tr("You have created a new forum in Tavernly!  Begin now by posting a message."),
                    Dialogs::Information);
        EnableAll();
        Text2->setFocus();
        return;
    }
}

void Form1::sckCreate_Error()
{
    endCreateAsError();
}

// An error, a close or silence before a known reply all end the request alike.
void Form1::endCreateAsError()
{
    m_createLimit.stop();
    m_createReply.clear();
    EnableAll();
    closeSocket(*sckCreate);
    showConnectionError();
}
