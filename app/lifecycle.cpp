// Start-up, the directory refresh, the busy state and shutdown.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/socket.h"
#include "platform/textbox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>

#include <algorithm>

void Form1::Form_Load()
{
    Web1->Navigate(QStringLiteral("about:blank"));
    show();
    activateWindow();
    Text1->setFocus();
    Text1->selectAll();
    sckGetList->Close();
    sckGetList->Connect(m_server.host, m_server.listPort);
    Web1->Navigate(m_server.startPage().toString());
}

void Form1::Timer1_Timer()
{
    refreshDirectory();
}

// Abandons any list exchange under way and starts a new one.
void Form1::refreshDirectory()
{
    m_listQuiet.stop();
    closeSocket(*sckGetList);
    sckGetList->Connect(m_server.host, m_server.listPort);
}

// The busy state is the Enabled property of these nine, in this order.
std::array<QWidget *, 9> Form1::busyControls() const
{
    return {List1, Text1, Text2, Text3, btnCheck, btnCreate, btnClear, btnClear2, btnPost};
}

// Disabling the focused field would push the focus along the tab chain (and
// select the title on its way), so the focus is parked instead and given back
// when the window is no longer busy, unless a handler has placed it since.
void Form1::DisableAll()
{
    const auto controls = busyControls();
    QWidget *focused = QApplication::focusWidget();
    if (focused && !m_focusBeforeBusy && std::find(controls.begin(), controls.end(), focused) != controls.end()) {
        m_focusBeforeBusy = focused;
        focused->clearFocus();
    }
    for (QWidget *control : controls)
        control->setEnabled(false);
}

void Form1::EnableAll()
{
    for (QWidget *control : busyControls())
        control->setEnabled(true);
    if (m_focusBeforeBusy && !QApplication::focusWidget())
        m_focusBeforeBusy->setFocus();
    m_focusBeforeBusy = nullptr;
}

// Closing the main window ends the program at once, whatever is in flight.
void Form1::closeEvent(QCloseEvent *event)
{
    Timer1->stop();
    m_listQuiet.stop();
    m_createLimit.stop();
    m_postLimit.stop();
    for (Socket *socket : {sckGetList, sckCreate, sckPost})
        socket->Close();
    if (m_form2)
        m_form2->close();
    event->accept();
    QCoreApplication::quit();
}
