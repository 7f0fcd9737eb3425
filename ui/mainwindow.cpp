#include "ui/mainwindow.h"

#include "protocol/createexchange.h"
#include "protocol/listexchange.h"
#include "protocol/postexchange.h"
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"

#include <QTimer>

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
    m_refreshTimer->start(); // the refresh counts from the window's creation
}

// A window closed while busy leaves no busy pointer behind.
MainWindow::~MainWindow()
{
    hideBusyCursor();
}

void MainWindow::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_listExchange->setQuietMs(timing.listQuietMs);
    m_listExchange->setLimitMs(timing.listLimitMs);
    m_createExchange->setLimitMs(timing.requestLimitMs);
    m_postExchange->setLimitMs(timing.requestLimitMs);
    m_refreshTimer->setInterval(timing.refreshMs);
}

void MainWindow::connectEvents()
{
    connect(m_refreshTimer, &QTimer::timeout, this, &MainWindow::refreshDirectory);

    // An exchange's ending is handled once its signal has returned: the boxes
    // it opens run event loops of their own, and no socket event may be under one.
    const auto queued = Qt::QueuedConnection;
    connect(m_listExchange, &ListExchange::finished, this, &MainWindow::showDirectory, queued);
    connect(m_listExchange, &ListExchange::failed, this, &MainWindow::onDirectoryFailed, queued);
    connect(m_createExchange, &CreateExchange::exists, this, &MainWindow::onForumExists, queued);
    connect(m_createExchange, &CreateExchange::created, this, &MainWindow::onForumCreated, queued);
    connect(m_createExchange, &CreateExchange::failed, this, &MainWindow::onCreateFailed, queued);
    connect(m_createExchange, &CreateExchange::limited, this, &MainWindow::onCreateLimited, queued);
    connect(m_postExchange, &PostExchange::connected, this, &MainWindow::sendPost);
    connect(m_postExchange, &PostExchange::sent, this, &MainWindow::onPostSent, queued);
    connect(m_postExchange, &PostExchange::failed, this, &MainWindow::onPostFailed, queued);

    connect(m_directoryList, &ListWidget::entryOpened, this, &MainWindow::openSelectedForum);
    connect(m_directoryList, &ListWidget::mouseMoved, this, &MainWindow::showForumTip);

    connect(m_forumNameEdit, &LineEdit::gotFocus, m_forumNameEdit, &LineEdit::selectAll);
    connect(m_forumNameEdit, &LineEdit::returnPressed, this, &MainWindow::createForum);
    connect(m_titleEdit, &LineEdit::gotFocus, m_titleEdit, &LineEdit::selectAll);
    connect(m_titleEdit, &LineEdit::returnPressed, m_bodyEdit, [this] { m_bodyEdit->setFocus(); });
    connect(m_bodyEdit, &PlainTextEdit::returnPressed, this, &MainWindow::breakLine);

    connect(m_createButton, &PictureButton::clicked, this, &MainWindow::createForum);
    connect(m_clearNameButton, &PictureButton::clicked, this, &MainWindow::clearForumName);
    connect(m_stampOption, &PictureButton::clicked, this, &MainWindow::toggleStamp);
    connect(m_stampLabel, &ClickLabel::clicked, this, &MainWindow::toggleStamp);
    connect(m_boldButton, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Bold); });
    connect(m_underlineButton, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Underline); });
    connect(m_italicButton, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Italic); });
    connect(m_linkButton, &PictureButton::clicked, this, &MainWindow::insertLink);
    connect(m_imageButton, &PictureButton::clicked, this, &MainWindow::insertImage);
    connect(m_previewButton, &PictureButton::clicked, this, &MainWindow::showPreview);
    connect(m_clearMessageButton, &PictureButton::clicked, this, &MainWindow::clearMessage);
    connect(m_postButton, &PictureButton::clicked, this, &MainWindow::postMessage);
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

void MainWindow::showMessage(const QString &text, int icon)
{
    m_dialogs.message(text, Dialogs::Icon(icon), tr("Tavernly"));
}

void MainWindow::showConnectionError()
{
    ++m_connectionErrorsOpen;
    showMessage(connectionErrorText(m_server.serviceUrl), Dialogs::Warning);
    --m_connectionErrorsOpen;
}
