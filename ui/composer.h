#pragma once
// The composer: the title and body fields, the date-and-time-stamp option,
// the formatting toolbar, the preview, posting, and the draft kept on disk
// until the message is posted or cleared. Lives on the user-interface thread.

#include "protocol/endpoint.h"
#include "ui/composerstate.h"
#include "ui/widgets/dialogs.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>

#include <optional>
#include <utility>

class BusyState;
class ClickLabel;
class Clock;
class Directory;
class LineEdit;
class PictureButton;
class PlainTextEdit;
class PostExchange;
class PreviewWindow;
class QTimer;

// Where the preview page is written: the program's folder, else the cache folder.
struct PreviewFolders
{
    QString primary;
    QString fallback;
};

// The controls the composer works; the window makes and places them.
struct ComposerControls
{
    LineEdit *title = nullptr;
    PlainTextEdit *body = nullptr;
    PictureButton *stampOption = nullptr;
    ClickLabel *stampLabel = nullptr;
    PictureButton *bold = nullptr;
    PictureButton *underline = nullptr;
    PictureButton *italic = nullptr;
    PictureButton *link = nullptr;
    PictureButton *image = nullptr;
    PictureButton *preview = nullptr;
    PictureButton *clear = nullptr;
    PictureButton *post = nullptr;
    QPixmap checkUp, checkDown; // the stamp option's faces
};

class Composer : public QObject
{
    Q_OBJECT
public:
    // The composer posts to the directory's selected forum, in the busy state.
    Composer(const ComposerControls &controls, Directory &directory, BusyState &busy, Dialogs &dialogs,
             const Clock &clock, const ServerEndpoint &server, QObject *parent = nullptr);

    void setPostLimitMs(int ms);
    void setPreviewFolders(const PreviewFolders &folders) { m_previewFolders = folders; }
    // Keeps the draft in folder, and puts a draft found there into the fields.
    void setDataFolder(const QString &folder);
    PostExchange *exchange() const { return m_postExchange; }

    bool stampWanted() const { return m_stampWanted; }
    const ToolbarState &toolbar() const { return m_toolbar; }
    // Abandons a post under way and closes the preview.
    void stop();

    // What the user does.
    void breakLine();
    void toggleStamp();
    void clearMessage();
    void togglePairedTag(PairedTag tag);
    void insertLink();
    void insertImage();
    void showPreview();
    void postMessage();

Q_SIGNALS:
    // A post could not reach the server.
    void connectionFailed();

private:
    friend struct MainWindowProbe; // the tests' view of the typed state

    bool eventFilter(QObject *watched, QEvent *event) override;
    void connectControls();
    void sendPost();
    void onPostSent();
    void onPostFailed();
    void showMessage(const QString &text, Dialogs::Icon icon);
    void saveDraft();
    void dropDraft();

    ComposerControls m_controls;
    Directory &m_directory;
    BusyState &m_busy;
    Dialogs &m_dialogs;
    const Clock &m_clock;
    ServerEndpoint m_server;
    PreviewFolders m_previewFolders;
    PostExchange *m_postExchange;
    QTimer *m_draftTimer;
    QString m_draftFile;
    QPointer<PreviewWindow> m_previewWindow; // made on first preview

    ToolbarState m_toolbar;
    bool m_stampWanted = false;
    PostDraft m_draft;
    // What Clear took away, until either field changes again: Ctrl+Z brings it back.
    std::optional<std::pair<QString, QString>> m_cleared;
};
