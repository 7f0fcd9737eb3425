#pragma once
// The main window: builds the controls, passes what the user does to the
// composer and the exchanges, and their results back to controls and boxes.

#include "protocol/endpoint.h"
#include "protocol/exchangefailure.h"
#include "ui/composerstate.h"

#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <array>

class ClickLabel;
class Clock;
class CreateExchange;
class Dialogs;
class HtmlView;
class ListWidget;
class ListExchange;
class PlainTextEdit;
class PictureButton;
class PostExchange;
class PreviewWindow;
class LineEdit;
class QFrame;
class QLabel;
class QTimer;

// How long the program waits for a server before it gives up. Tests shorten them.
struct Timing
{
    int listQuietMs = 300;      // a list reply is whole after this long without data
    int listLimitMs = 30000;    // a list exchange that has not ended: well inside the refresh
    int requestLimitMs = 20000; // a create or post that neither ends nor fails
    int refreshMs = 60000;      // the directory refresh
};

// Where the preview page is written: the program's folder, else the cache folder.
struct PreviewFolders
{
    QString primary;
    QString fallback;
};

// The two faces of each picture button: at rest and pressed.
struct ButtonFaces
{
    QPixmap boldUp, boldDown, underlineUp, underlineDown, italicUp, italicDown, linkUp, linkDown,
        imageUp, imageDown, previewUp, previewDown, createUp, createDown, postUp, postDown, clearUp,
        clearDown, checkUp, checkDown;
};

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    MainWindow(const ServerEndpoint &server, Dialogs &dialogs, const Clock &clock,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    void setTiming(const Timing &timing);
    void setPreviewFolders(const PreviewFolders &folders) { m_previewFolders = folders; }
    // The page view keeps the pages it has shown there (in no cache when never set).
    void setPageCacheFolder(const QString &folder);

    // Shows the window, asks for the directory and opens the start page.
    void start();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    friend struct MainWindowProbe; // the tests' view of the controls

    // Building (mainwindowlayout.cpp) and wiring (mainwindow.cpp).
    void createControls();
    void loadFaces();
    void connectEvents();
    void wirePressedFaces();

    // The busy state (lifecycle.cpp).
    std::array<QWidget *, 9> busyControls() const;
    void enterBusy();
    void leaveBusy();
    void hideBusyCursor();

    // The directory (directoryview.cpp).
    void refreshDirectory();
    void showDirectory(const QStringList &names);
    void onDirectoryFailed();
    void openSelectedForum();
    void showForumTip();

    // Forum creation (forumcreation.cpp).
    void createForum();
    void onForumExists();
    void onForumCreated();
    void onCreateFailed();
    void onCreateLimited();

    // The message fields, the stamp option and the clear buttons (composer.cpp).
    void breakLine();
    void toggleStamp();
    void clearForumName();
    void clearMessage();

    // The formatting toolbar (toolbar.cpp).
    void togglePairedTag(PairedTag tag);
    void insertLink();
    void insertImage();

    // Posting (posting.cpp) and the preview (preview.cpp).
    void postMessage();
    void sendPost();
    void onPostSent();
    void onPostFailed();
    void showPreview();

    void showMessage(const QString &text, int icon);
    void showConnectionError();

    ServerEndpoint m_server;
    Dialogs &m_dialogs;
    const Clock &m_clock;
    Timing m_timing;
    PreviewFolders m_previewFolders;
    ButtonFaces m_faces;

    ListWidget *m_directoryList = nullptr;
    QLabel *m_createHeader = nullptr;
    LineEdit *m_forumNameEdit = nullptr;
    PictureButton *m_createButton = nullptr;
    PictureButton *m_clearNameButton = nullptr;
    QFrame *m_separator = nullptr;
    QLabel *m_postHeader = nullptr;
    QLabel *m_titleCaption = nullptr;
    LineEdit *m_titleEdit = nullptr;
    PictureButton *m_stampOption = nullptr;
    ClickLabel *m_stampLabel = nullptr;
    QLabel *m_bodyCaption = nullptr;
    PlainTextEdit *m_bodyEdit = nullptr;
    QLabel *m_toolbarStrip = nullptr;
    PictureButton *m_boldButton = nullptr;
    PictureButton *m_underlineButton = nullptr;
    PictureButton *m_italicButton = nullptr;
    PictureButton *m_linkButton = nullptr;
    PictureButton *m_imageButton = nullptr;
    PictureButton *m_previewButton = nullptr;
    PictureButton *m_clearMessageButton = nullptr;
    PictureButton *m_postButton = nullptr;
    HtmlView *m_pageView = nullptr;
    QTimer *m_refreshTimer = nullptr;
    PreviewWindow *m_previewWindow = nullptr; // made on first preview

    ListExchange *m_listExchange = nullptr;
    CreateExchange *m_createExchange = nullptr;
    PostExchange *m_postExchange = nullptr;

    ToolbarState m_toolbar;
    bool m_stampWanted = false;
    PostDraft m_draft;
    QPointer<QWidget> m_focusBeforeBusy;
    bool m_busyCursor = false;
    // Connection-error boxes open now. Each runs its own event loop, so the
    // refresh keeps failing underneath it.
    int m_connectionErrorsOpen = 0;
};
