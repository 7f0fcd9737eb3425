#include "app/form1.h"

#include "app/preview/form2.h"
#include "platform/clicklabel.h"
#include "platform/dialogs.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/socket.h"
#include "platform/textbox.h"

Form1::Form1(const ServerEndpoint &server, Dialogs &dialogs, const Clock &clock, QWidget *parent)
    : QWidget(parent)
    , m_server(server)
    , m_dialogs(dialogs)
    , m_clock(clock)
{
    Q_INIT_RESOURCE(resources); // the pictures live in this static library
    setObjectName(QStringLiteral("Form1"));
    createControls();
    connectEvents();
    wirePressedFaces();
    m_listQuiet.setSingleShot(true);
    m_createLimit.setSingleShot(true);
    m_postLimit.setSingleShot(true);
    setTiming(m_timing);
    Timer1->start(); // the timer counts from the window's creation
}

Form1::~Form1() = default;

void Form1::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_listQuiet.setInterval(timing.listQuietMs);
    m_createLimit.setInterval(timing.requestLimitMs);
    m_postLimit.setInterval(timing.requestLimitMs);
    Timer1->setInterval(timing.refreshMs);
}

void Form1::connectEvents()
{
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    connect(sckGetList, &Socket::connected, this, &Form1::sckGetList_Connect);
    connect(sckGetList, &Socket::dataArrival, this, &Form1::sckGetList_DataArrival);
    connect(sckGetList, &Socket::error, this, &Form1::sckGetList_Error);
    connect(sckGetList, &Socket::peerClosed, this, [this] {
        if (m_listQuiet.isActive())
            finishList(); // the server has said all it will say
    });
    connect(&m_listQuiet, &QTimer::timeout, this, &Form1::finishList);

    connect(sckCreate, &Socket::connected, this, &Form1::sckCreate_Connect);
    connect(sckCreate, &Socket::dataArrival, this, &Form1::sckCreate_DataArrival);
    connect(sckCreate, &Socket::error, this, &Form1::sckCreate_Error);
    connect(sckCreate, &Socket::peerClosed, this, [this] {
        if (m_createLimit.isActive())
            endCreateAsError(); // closed before a reply we know
    });
    connect(&m_createLimit, &QTimer::timeout, this, &Form1::endCreateAsError);

    connect(sckPost, &Socket::connected, this, &Form1::sckPost_Connect);
    connect(sckPost, &Socket::sendComplete, this, &Form1::sckPost_SendComplete);
    connect(sckPost, &Socket::error, this, &Form1::sckPost_Error);
    connect(&m_postLimit, &QTimer::timeout, this, &Form1::endPostAsError);

    connect(List1, &ListBox::dblClick, this, &Form1::List1_DblClick);
    connect(List1, &ListBox::mouseMove, this, &Form1::List1_MouseMove);

    connect(Text1, &TextBox::gotFocus, this, &Form1::Text1_GotFocus);
    connect(Text1, &TextBox::keyPress, this, &Form1::Text1_KeyPress);
    connect(Text2, &TextBox::gotFocus, this, &Form1::Text2_GotFocus);
    connect(Text2, &TextBox::keyPress, this, &Form1::Text2_KeyPress);
    connect(Text3, &MemoBox::keyPress, this, &Form1::Text3_KeyPress);

    connect(btnCreate, &PictureButton::clicked, this, &Form1::btnCreate_Click);
    connect(btnClear, &PictureButton::clicked, this, &Form1::btnClear_Click);
    connect(btnCheck, &PictureButton::clicked, this, &Form1::btnCheck_Click);
    connect(Label3, &ClickLabel::clicked, this, &Form1::Label3_Click);
    connect(btnBOLD, &PictureButton::clicked, this, &Form1::btnBOLD_Click);
    connect(btnUNDERLINE, &PictureButton::clicked, this, &Form1::btnUNDERLINE_Click);
    connect(btnITALIC, &PictureButton::clicked, this, &Form1::btnITALIC_Click);
    connect(btnLINK, &PictureButton::clicked, this, &Form1::btnLINK_Click);
    connect(btnIMAGE, &PictureButton::clicked, this, &Form1::btnIMAGE_Click);
    connect(btnView, &PictureButton::clicked, this, &Form1::btnView_Click);
    connect(btnClear2, &PictureButton::clicked, this, &Form1::btnClear2_Click);
    connect(btnPost, &PictureButton::clicked, this, &Form1::btnPost_Click);
}

// Each picture button shows its pressed face from press to release.
void Form1::wirePressedFaces()
{
    const struct
    {
        PictureButton *button;
        const QPixmap *up;
        const QPixmap *down;
    } faces[] = {
        {btnBOLD, &imgBoldUP, &imgBoldDOWN},       {btnUNDERLINE, &imgUnderlineUP, &imgUnderlineDOWN},
        {btnITALIC, &imgItalicUP, &imgItalicDOWN}, {btnLINK, &imgLinkUP, &imgLinkDOWN},
        {btnIMAGE, &imgImageUP, &imgImageDOWN},    {btnView, &imgViewUP, &imgViewDOWN},
        {btnCreate, &imgCreateUP, &imgCreateDOWN}, {btnPost, &imgPostUP, &imgPostDOWN},
        {btnClear, &imgClearUP, &imgClearDOWN},    {btnClear2, &imgClearUP, &imgClearDOWN},
    };
    for (const auto &face : faces) {
        PictureButton *button = face.button;
        const QPixmap *up = face.up;
        const QPixmap *down = face.down;
        connect(button, &PictureButton::mouseDown, this, [button, down] { button->setPicture(*down); });
        connect(button, &PictureButton::mouseUp, this, [button, up] { button->setPicture(*up); });
    }
}

void Form1::closeSocket(Socket &socket)
{
    do
        socket.Close();
    while (socket.State() != Socket::Closed);
}

void Form1::showMessage(const QString &text, int icon)
{
    m_dialogs.message(text, Dialogs::Icon(icon), tr("Tavernly"));
}

void Form1::showConnectionError()
{
    ++m_connectionErrorsOpen;
    showMessage(connectionErrorText(m_server.serviceUrl), Dialogs::Warning);
    --m_connectionErrorsOpen;
}
