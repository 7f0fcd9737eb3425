#pragma once
// The main window: builds the controls and wires them to the directory and
// the composer; creates forums; shows the boxes of connection errors.
// Lives on the user-interface thread.

#include "protocol/endpoint.h"
#include "protocol/exchangefailure.h"
#include "ui/composer.h"

#include <QPixmap>
#include <QWidget>

class BusyState;
class ClickLabel;
class Clock;
class CreateExchange;
class Directory;
class HtmlView;
class ListWidget;
class PlainTextEdit;
class PictureButton;
class LineEdit;
class QFrame;
class QLabel;

// How long the program waits for a server before it gives up. Tests shorten them.
struct Timing
{
    int listQuietMs = 300;      // a list reply is whole after this long without data
    int listLimitMs = 30000;    // a list exchange that has not ended: well inside the refresh
    int requestLimitMs = 20000; // a create or post that neither ends nor fails
    int refreshMs = 60000;      // the directory refresh
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
    void setPreviewFolders(const PreviewFolders &folders);
    // The page view keeps the pages it has shown there (in no cache when never set).
    void setPageCacheFolder(const QString &folder);
    // What the reader keeps between runs (the watched forums, the draft, the
    // page view's size) goes there; nothing is kept when never set.
    void setDataFolder(const QString &folder);

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

    void openPage(const QUrl &address);
    void onDirectoryFailed();
    void saveViewSettings();

    // Forum creation (forumcreation.cpp).
    void createForum();
    void onForumExists();
    void onForumCreated();
    void onCreateFailed();
    void onCreateLimited();

    void clearForumName();

    void showMessage(const QString &text, Dialogs::Icon icon);
    void showConnectionError();

    ServerEndpoint m_server;
    Dialogs &m_dialogs;
    const Clock &m_clock;
    Timing m_timing;
    QString m_dataFolder;
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

    BusyState *m_busy = nullptr;
    Directory *m_directory = nullptr;
    Composer *m_composer = nullptr;
    CreateExchange *m_createExchange = nullptr;
    // Connection-error boxes open now. Each runs its own event loop, so the
    // refresh keeps failing underneath it.
    int m_connectionErrorsOpen = 0;
};
