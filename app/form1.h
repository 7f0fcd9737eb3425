#pragma once
// The main window. It owns every control; the controls hold all of the
// program's state. Its member functions are defined in the folder of the
// part of the program they belong to.

#include "net/endpoint.h"

#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>

class ClickLabel;
class Clock;
class Dialogs;
class Form2;
class HtmlView;
class ListBox;
class MemoBox;
class PictureButton;
class Socket;
class TextBox;
class QFrame;
class QLabel;

// How long the program waits for a server before it gives up. Tests shorten them.
struct Timing
{
    int listQuietMs = 300;      // a list reply is whole after this long without data
    int requestLimitMs = 20000; // a create or post that neither ends nor fails
    int refreshMs = 60000;      // the directory refresh
};

// Where the preview page is written: the program's folder, else the cache folder.
struct PreviewFolders
{
    QString primary;
    QString fallback;
};

class Form1 : public QWidget
{
    Q_OBJECT
public:
    Form1(const ServerEndpoint &server, Dialogs &dialogs, const Clock &clock,
          QWidget *parent = nullptr);
    ~Form1() override;

    void setTiming(const Timing &timing);
    void setPreviewFolders(const PreviewFolders &folders) { m_previewFolders = folders; }

    // Start-up, shutdown, timer and busy state.
    void Form_Load();
    void Timer1_Timer();
    void DisableAll();
    void EnableAll();

    // Directory.
    void sckGetList_Connect();
    void sckGetList_DataArrival();
    void sckGetList_Error();
    void List1_DblClick();
    void List1_MouseMove();
    void AddHorizontalScrollToLB(ListBox &LB);
    static qint32 InstrCount(const QString &StringToSearch, const QString &StringToFind);

    // Forum creation.
    void Text1_GotFocus();
    void Text1_KeyPress(int &KeyAscii);
    void btnCreate_Click();
    void sckCreate_Connect();
    void sckCreate_DataArrival();
    void sckCreate_Error();

    // Message fields and options.
    void Text2_GotFocus();
    void Text2_KeyPress(int &KeyAscii);
    void Text3_KeyPress(int &KeyAscii);
    void btnCheck_Click();
    void Label3_Click();
    void btnClear_Click();
    void btnClear2_Click();

    // Formatting toolbar.
    void btnBOLD_Click();
    void btnITALIC_Click();
    void btnUNDERLINE_Click();
    void btnLINK_Click();
    void btnIMAGE_Click();

    // Posting and preview.
    void btnPost_Click();
    void sckPost_Connect();
    void sckPost_SendComplete();
    void sckPost_Error();
    void btnView_Click();

    // Controls, by their names.
    ListBox *List1;
    QLabel *Image1;
    TextBox *Text1;
    PictureButton *btnCreate;
    PictureButton *btnClear;
    QFrame *Line1;
    QLabel *Image2;
    QLabel *Label2;
    TextBox *Text2;
    PictureButton *btnCheck;
    ClickLabel *Label3;
    QLabel *Label1;
    MemoBox *Text3;
    QLabel *Image3;
    PictureButton *btnBOLD;
    PictureButton *btnUNDERLINE;
    PictureButton *btnITALIC;
    PictureButton *btnLINK;
    PictureButton *btnIMAGE;
    PictureButton *btnView;
    PictureButton *btnClear2;
    PictureButton *btnPost;
    HtmlView *Web1;
    QTimer *Timer1;
    Socket *sckGetList;
    Socket *sckCreate;
    Socket *sckPost;

    // The picture stores: the faces the picture buttons copy.
    QPixmap imgBoldUP, imgBoldDOWN, imgUnderlineUP, imgUnderlineDOWN, imgItalicUP, imgItalicDOWN,
        imgLinkUP, imgLinkDOWN, imgImageUP, imgImageDOWN, imgViewUP, imgViewDOWN, imgCreateUP,
        imgCreateDOWN, imgPostUP, imgPostDOWN, imgClearUP, imgClearDOWN, imgCheckUP, imgCheckDOWN;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void connectEvents();
    void wirePressedFaces();
    std::array<QWidget *, 9> busyControls() const;
    void refreshDirectory();
    void closeSocket(Socket &socket);
    void showMessage(const QString &text, int icon);
    void showConnectionError();
    void toggleStampOption();
    void finishList();
    void endCreateAsError();
    void endPostAsError();

    ServerEndpoint m_server;
    Dialogs &m_dialogs;
    const Clock &m_clock;
    Timing m_timing;
    PreviewFolders m_previewFolders;
    Form2 *m_form2 = nullptr; // made on first preview
    QPointer<QWidget> m_focusBeforeBusy;

    // Exchanges in progress: a reply gathers here until it is whole.
    QByteArray m_listReply;
    QTimer m_listQuiet;
    QByteArray m_createReply;
    QTimer m_createLimit;
    QTimer m_postLimit;
    // Connection-error boxes open now. Each runs its own event loop, so the
    // refresh keeps failing underneath it.
    int m_connectionErrorsOpen = 0;
};
