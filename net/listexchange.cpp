// The list exchange: "GETLIST" out, the forum names back.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "directory/listreply.h"
#include "platform/listbox.h"
#include "platform/socket.h"

void Form1::sckGetList_Connect()
{
    m_listReply.clear();
    sckGetList->SendData(QStringLiteral("GETLIST"));
}

// A reply can come in any number of pieces: gather them, and handle the reply
// once the server closes the connection or falls quiet.
void Form1::sckGetList_DataArrival()
{
    m_listReply += sckGetList->GetData();
    m_listQuiet.start();
}

void Form1::finishList()
{
    m_listQuiet.stop();
    const QString reply = QString::fromUtf8(m_listReply);
    m_listReply.clear();
    List1->setEntries(directoryNames(reply));
    closeSocket(*sckGetList);
    AddHorizontalScrollToLB(*List1);
}

void Form1::sckGetList_Error()
{
    // A reply cut off by the error is dropped: the directory keeps what it had.
    m_listQuiet.stop();
    m_listReply.clear();
    closeSocket(*sckGetList);
    // The box already open says the same; another one for every failing tick
    // would pile up without end while the user is away.
    if (m_connectionErrorsOpen == 0)
        showConnectionError();
}
