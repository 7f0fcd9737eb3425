#include "ui/mainwindow.h"

#include "protocol/createexchange.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"

#include "ui/files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

QString viewSettingsFile(const QString &dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("view.json"));
}

} // namespace

MainWindow::MainWindow(const ServerEndpoint &server, Dialogs &dialogs, const Clock &clock, QWidget *parent)
    : QWidget(parent)
    , m_server(server)
    , m_dialogs(dialogs)
    , m_clock(clock)
{
    Q_INIT_RESOURCE(resources); // the pictures live in this static library
    setObjectName(QStringLiteral("mainWindow"));
    createControls();
    connectEvents();
    wirePressedFaces();
    setTiming(m_timing);
    m_directory->refreshTimer()->start(); // the refresh counts from the window's creation
}

MainWindow::~MainWindow() = default;

void MainWindow::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_directory->setTiming(timing.listQuietMs, timing.listLimitMs, timing.refreshMs);
    m_createExchange->setLimitMs(timing.requestLimitMs);
    m_composer->setPostLimitMs(timing.requestLimitMs);
}

void MainWindow::setPreviewFolders(const PreviewFolders &folders)
{
    m_composer->setPreviewFolders(folders);
}

void MainWindow::setPageCacheFolder(const QString &folder)
{
    m_pageView->setCacheFolder(folder);
}

void MainWindow::setDataFolder(const QString &folder)
{
    m_dataFolder = folder;
    m_directory->setDataFolder(folder);
    m_composer->setDataFolder(folder);
    QFile settings(viewSettingsFile(folder));
    if (settings.open(QIODevice::ReadOnly)) {
        const QJsonObject view = QJsonDocument::fromJson(settings.read(4096)).object();
        m_pageView->setZoom(view.value(QStringLiteral("zoom")).toInt());
    }
}

// The page view's size is the reader's, for every page and every run.
void MainWindow::saveViewSettings()
{
    if (m_dataFolder.isEmpty() || !QDir().mkpath(m_dataFolder))
        return;
    const QJsonObject view{{QStringLiteral("zoom"), m_pageView->zoom()}};
    writeBytesFile(viewSettingsFile(m_dataFolder), QJsonDocument(view).toJson());
}

void MainWindow::connectEvents()
{
    connect(m_directory, &Directory::pageRequested, this, &MainWindow::openPage);
    connect(m_directory, &Directory::failed, this, &MainWindow::onDirectoryFailed);
    connect(m_pageView, &HtmlView::pageFetched, m_directory, &Directory::notePageShown);
    connect(m_pageView, &HtmlView::pageShown, m_directory, &Directory::followPage);
    connect(m_directory, &Directory::readingChanged, this, [this] {
        if (!m_pageView->isLoading()) // a page on its way is newer still
            m_pageView->reload();
    });
    connect(m_pageView, &HtmlView::zoomChanged, this, &MainWindow::saveViewSettings);
    connect(m_composer, &Composer::connectionFailed, this, &MainWindow::showConnectionError);

    // An exchange's ending is handled once its signal has returned: the boxes
    // it opens run event loops of their own, and no socket event may be under one.
    const auto queued = Qt::QueuedConnection;
    connect(m_createExchange, &CreateExchange::exists, this, &MainWindow::onForumExists, queued);
    connect(m_createExchange, &CreateExchange::created, this, &MainWindow::onForumCreated, queued);
    connect(m_createExchange, &CreateExchange::failed, this, &MainWindow::onCreateFailed, queued);
    connect(m_createExchange, &CreateExchange::limited, this, &MainWindow::onCreateLimited, queued);

    connect(m_forumNameEdit, &LineEdit::gotFocus, m_forumNameEdit, &LineEdit::selectAll);
    connect(m_forumNameEdit, &LineEdit::returnPressed, this, &MainWindow::createForum);
    connect(m_forumNameEdit, &LineEdit::inputRejected, this, [this] {
        showMessage(tr("Only the first %1 characters fit in the forum's name.").arg(m_forumNameEdit->maxLength()),
                    Dialogs::Information);
    });
    connect(m_createButton, &PictureButton::clicked, this, &MainWindow::createForum);
    connect(m_clearNameButton, &PictureButton::clicked, this, &MainWindow::clearForumName);
}

// Each picture button shows its pressed face from press to release.
void MainWindow::wirePressedFaces()
{
    const struct
    {
        PictureButton *button;
        const QPixmap *up;
        const QPixmap *down;
    } faces[] = {
        {m_boldButton, &m_faces.boldUp, &m_faces.boldDown},
        {m_underlineButton, &m_faces.underlineUp, &m_faces.underlineDown},
        {m_italicButton, &m_faces.italicUp, &m_faces.italicDown},
        {m_linkButton, &m_faces.linkUp, &m_faces.linkDown},
        {m_imageButton, &m_faces.imageUp, &m_faces.imageDown},
        {m_previewButton, &m_faces.previewUp, &m_faces.previewDown},
        {m_createButton, &m_faces.createUp, &m_faces.createDown},
        {m_postButton, &m_faces.postUp, &m_faces.postDown},
        {m_clearNameButton, &m_faces.clearUp, &m_faces.clearDown},
        {m_clearMessageButton, &m_faces.clearUp, &m_faces.clearDown},
    };
    for (const auto &face : faces) {
        PictureButton *button = face.button;
        const QPixmap *up = face.up;
        const QPixmap *down = face.down;
        connect(button, &PictureButton::mouseDown, this, [button, down] { button->setPicture(*down); });
        connect(button, &PictureButton::mouseUp, this, [button, up] { button->setPicture(*up); });
    }
}

void MainWindow::openPage(const QUrl &address)
{
    m_pageView->navigate(QStringLiteral("about:blank"));
    m_pageView->navigate(address.toString(QUrl::FullyEncoded));
}

// The directory keeps what it had.
void MainWindow::onDirectoryFailed()
{
    // The box already open says the same; another one for every failing tick
    // would pile up without end while the user is away.
    if (m_connectionErrorsOpen == 0)
        showConnectionError();
}

void MainWindow::clearForumName()
{
    m_forumNameEdit->setText(QString());
    m_forumNameEdit->setFocus();
}

void MainWindow::showMessage(const QString &text, Dialogs::Icon icon)
{
    m_dialogs.message(text, icon, tr("Tavernly"));
}

void MainWindow::showConnectionError()
{
    ++m_connectionErrorsOpen;
    showMessage(connectionErrorText(m_server.serviceUrl), Dialogs::Warning);
    --m_connectionErrorsOpen;
}
