// The main window's controls: kind, place, size, text, font, colours, tips.
#include "ui/mainwindow.h"
#include "protocol/createexchange.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/twips.h"
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/searchbar.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>

namespace {

const QColor windowColour(0xE0, 0xE0, 0xE0);

QFont arial(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

// The classic dialog font. Where it is missing, an Arial-metric face keeps the
// captions inside their labels; the desktop's wider default would cut them off.
QFont dialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

// On a high-density screen the picture drawn at twice the size keeps its text
// sharp; it carries its device pixel ratio, so it takes the same room.
QPixmap picture(const char *name)
{
    const QString stem = QStringLiteral(":/img/") + QLatin1String(name);
    if (qApp->devicePixelRatio() > 1) {
        const QPixmap sharp(stem + QStringLiteral("@2x.png"));
        if (!sharp.isNull())
            return sharp;
    }
    return QPixmap(stem + QStringLiteral(".png"));
}

template<typename Control>
Control *place(Control *control, const char *name, QRect twipsGeometry, const QString &accessibleName)
{
    control->setObjectName(QLatin1String(name));
    control->setGeometry(twipsGeometry);
    if (!accessibleName.isEmpty())
        control->setAccessibleName(accessibleName);
    return control;
}

QLabel *strip(QWidget *parent, const char *name, QRect geometry, const QPixmap &face)
{
    auto *label = place(new QLabel(parent), name, geometry, QString());
    label->setPixmap(face);
    label->setScaledContents(true);
    label->setAccessibleName(QString()); // decoration
    return label;
}

QLabel *caption(QLabel *label, const QString &text)
{
    label->setText(text);
    label->setFont(dialogFont());
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, windowColour);
    label->setPalette(palette);
    // A caption is never cut off: a face a little wider than the original's gets the room.
    if (label->sizeHint().width() > label->width())
        label->resize(label->sizeHint().width(), label->height());
    return label;
}

PictureButton *button(QWidget *parent, const char *name, QRect geometry, const QPixmap &face,
                      const QString &accessibleName, const QString &tip, QKeySequence shortcut,
                      bool stretch)
{
    auto *b = place(new PictureButton(parent), name, geometry, accessibleName);
    b->setPicture(face);
    b->setStretch(stretch);
    b->setToolTip(tip);
    b->setShortcut(shortcut);
    return b;
}

} // namespace

void MainWindow::loadFaces()
{
    m_faces.boldUp = picture("BoldUP");
    m_faces.boldDown = picture("BoldDOWN");
    m_faces.underlineUp = picture("UnderlineUP");
    m_faces.underlineDown = picture("UnderlineDOWN");
    m_faces.italicUp = picture("ItalicUP");
    m_faces.italicDown = picture("ItalicDOWN");
    m_faces.linkUp = picture("LinkUP");
    m_faces.linkDown = picture("LinkDOWN");
    m_faces.imageUp = picture("ImageUP");
    m_faces.imageDown = picture("ImageDOWN");
    m_faces.previewUp = picture("ViewUP");
    m_faces.previewDown = picture("ViewDOWN");
    m_faces.createUp = picture("CreateUP");
    m_faces.createDown = picture("CreateDOWN");
    m_faces.postUp = picture("PostUP");
    m_faces.postDown = picture("PostDOWN");
    m_faces.clearUp = picture("ClearUP");
    m_faces.clearDown = picture("ClearDOWN");
    m_faces.checkUp = picture("CheckUP");
    m_faces.checkDown = picture("CheckDOWN");
}

void MainWindow::createControls()
{
    setWindowTitle(tr("Tavernly"));
    setWindowIcon(QIcon(QStringLiteral(":/img/icon.png")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(px(10230), px(8025));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, windowColour);
    setPalette(palette);
    setFont(dialogFont());

    loadFaces();

    m_directoryList = place(new ListWidget(this), "directoryList", twipsRect(120, 120, 3375, 4110), tr("Forum directory"));
    m_directoryList->setFont(arial(9, true));
    QPalette listPalette = m_directoryList->palette();
    listPalette.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    listPalette.setColor(QPalette::Text, Qt::black);
    m_directoryList->setPalette(listPalette);

    m_createHeader = strip(this, "createHeader", twipsRect(3600, 120, 6450, 300), picture("HeaderCreate"));

    m_forumNameEdit = place(new LineEdit(this), "forumNameEdit", twipsRect(3600, 480, 3375, 330), tr("Forum name"));
    m_forumNameEdit->setFont(arial(9));
    m_forumNameEdit->setMaxLength(40);
    m_forumNameEdit->setText(tr("<Enter the name of your forum here>"));

    m_createButton = button(this, "createButton", twipsRect(7080, 480, 1425, 330), m_faces.createUp, tr("Create"),
                            QString(), QKeySequence(tr("Alt+C")), false);
    m_clearNameButton = button(this, "clearNameButton", twipsRect(8640, 480, 1425, 330), m_faces.clearUp,
                               tr("Clear forum name"), QString(), QKeySequence(tr("Alt+N")), false);

    m_separator = place(new QFrame(this), "separator", QRect(px(3600), px(870), px(10080) - px(3600), 1), QString());
    m_separator->setFrameStyle(QFrame::HLine | QFrame::Plain);
    m_separator->setLineWidth(1);

    m_postHeader = strip(this, "postHeader", twipsRect(3600, 960, 6450, 300), picture("HeaderPost"));

    m_titleCaption = caption(place(new QLabel(this), "titleCaption", twipsRect(3600, 1320, 990, 195), QString()),
                             tr("Message Title"));
    m_titleEdit = place(new LineEdit(this), "titleEdit", twipsRect(3600, 1560, 4215, 285), tr("Message Title"));
    m_titleEdit->setMaxLength(60);
    m_titleCaption->setBuddy(m_titleEdit);

    const QString stampTip = tr(" Place A Check Here To Include A Date & Time Stamp In Your Post ");
    m_stampOption = button(this, "stampOption", twipsRect(7905, 1590, 210, 210), m_faces.checkUp,
                           tr("Include Date & Time Stamp"), stampTip, QKeySequence(tr("Alt+D")), false);
    m_stampOption->setCheckable(true);
    m_stampLabel = place(new ClickLabel(this), "stampLabel", twipsRect(8160, 1610, 1935, 195),
                         tr("Include Date & Time Stamp"));
    caption(m_stampLabel, tr("Include Date & Time Stamp"));
    m_stampLabel->setToolTip(stampTip);

    m_bodyCaption = caption(place(new QLabel(this), "bodyCaption", twipsRect(3600, 1980, 1050, 195), QString()),
                            tr("Message Body"));
    m_bodyEdit = place(new PlainTextEdit(this), "bodyEdit", twipsRect(3600, 2240, 6495, 1605), tr("Message Body"));
    m_bodyEdit->setMaxLength(1000);
    m_bodyCaption->setBuddy(m_bodyEdit);

    m_toolbarStrip = strip(this, "toolbarStrip", twipsRect(3600, 3885, 3345, 330), picture("Toolbar"));

    auto tool = [&](const char *name, int left, int width, const QPixmap &face, const QString &a11y,
                    const QString &tip, const QString &keys) {
        return button(this, name, twipsRect(left, 3920, width, 270), face, a11y, tip, QKeySequence(keys),
                      true);
    };
    m_boldButton = tool("boldButton", 3660, 210, m_faces.boldUp, tr("Bold"), tr(" Add/Close Bold Font Style "),
                        tr("Alt+B"));
    m_underlineButton = tool("underlineButton", 3960, 210, m_faces.underlineUp, tr("Underline"),
                             tr(" Add/Close Underline Font Style "), tr("Alt+U"));
    m_italicButton = tool("italicButton", 4245, 210, m_faces.italicUp, tr("Italic"),
                          tr(" Add/Close Italicize Font Style "), tr("Alt+I"));
    m_linkButton = tool("linkButton", 4595, 540, m_faces.linkUp, tr("Link"), tr(" Add/Close Link Insert "),
                        tr("Alt+L"));
    m_imageButton = tool("imageButton", 5195, 750, m_faces.imageUp, tr("Image"), tr(" Add Image Insert "),
                         tr("Alt+M"));
    m_previewButton = tool("previewButton", 6140, 750, m_faces.previewUp, tr("Preview"), tr(" Preview Your Post "),
                           tr("Alt+V"));

    m_clearMessageButton = button(this, "clearMessageButton", twipsRect(7080, 3885, 1425, 330), m_faces.clearUp,
                                  tr("Clear message"), QString(), QKeySequence(tr("Alt+R")), false);
    m_postButton = button(this, "postButton", twipsRect(8640, 3885, 1425, 330), m_faces.postUp, tr("Post"),
                          QString(), QKeySequence(tr("Alt+P")), false);

    m_pageView = place(new HtmlView(this), "pageView", twipsRect(120, 4320, 9975, 3615), tr("Forum page"));
    m_pageView->setServerOrigin(m_server.startPage());
    new SearchBar(*m_pageView); // over the view, in the find bar's place

    setTabOrder(m_forumNameEdit, m_titleEdit);
    setTabOrder(m_titleEdit, m_bodyEdit);
    setTabOrder(m_bodyEdit, m_directoryList);
    setTabOrder(m_directoryList, m_pageView);

    m_createExchange = new CreateExchange(this);
    m_createExchange->setObjectName(QStringLiteral("createExchange"));

    // The busy state is the Enabled property of these nine, in this order.
    m_busy = new BusyState(this);
    m_busy->setControls({m_directoryList, m_forumNameEdit, m_titleEdit, m_bodyEdit, m_stampOption,
                         m_createButton, m_clearNameButton, m_clearMessageButton, m_postButton});
    m_directory = new Directory(*m_directoryList, m_server, this);
    ComposerControls composer;
    composer.title = m_titleEdit;
    composer.body = m_bodyEdit;
    composer.stampOption = m_stampOption;
    composer.stampLabel = m_stampLabel;
    composer.bold = m_boldButton;
    composer.underline = m_underlineButton;
    composer.italic = m_italicButton;
    composer.link = m_linkButton;
    composer.image = m_imageButton;
    composer.preview = m_previewButton;
    composer.clear = m_clearMessageButton;
    composer.post = m_postButton;
    composer.checkUp = m_faces.checkUp;
    composer.checkDown = m_faces.checkDown;
    m_composer = new Composer(composer, *m_directory, *m_busy, m_dialogs, m_clock, m_server, this);
}
