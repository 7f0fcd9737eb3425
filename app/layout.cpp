// The main window's controls: kind, place, size, text, font, colours, tips.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "app/twips.h"
#include "platform/clicklabel.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/socket.h"
#include "platform/textbox.h"

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

void Form1::createControls()
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

    imgBoldUP = picture("BoldUP");
    imgBoldDOWN = picture("BoldDOWN");
    imgUnderlineUP = picture("UnderlineUP");
    imgUnderlineDOWN = picture("UnderlineDOWN");
    imgItalicUP = picture("ItalicUP");
    imgItalicDOWN = picture("ItalicDOWN");
    imgLinkUP = picture("LinkUP");
    imgLinkDOWN = picture("LinkDOWN");
    imgImageUP = picture("ImageUP");
    imgImageDOWN = picture("ImageDOWN");
    imgViewUP = picture("ViewUP");
    imgViewDOWN = picture("ViewDOWN");
    imgCreateUP = picture("CreateUP");
    imgCreateDOWN = picture("CreateDOWN");
    imgPostUP = picture("PostUP");
    imgPostDOWN = picture("PostDOWN");
    imgClearUP = picture("ClearUP");
    imgClearDOWN = picture("ClearDOWN");
    imgCheckUP = picture("CheckUP");
    imgCheckDOWN = picture("CheckDOWN");

    List1 = place(new ListBox(this), "List1", twipsRect(120, 120, 3375, 4110), tr("Forum directory"));
    List1->setFont(arial(9, true));
    QPalette listPalette = List1->palette();
    listPalette.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    listPalette.setColor(QPalette::Text, Qt::black);
    List1->setPalette(listPalette);

    Image1 = strip(this, "Image1", twipsRect(3600, 120, 6450, 300), picture("HeaderCreate"));

    Text1 = place(new TextBox(this), "Text1", twipsRect(3600, 480, 3375, 330), tr("Forum name"));
    Text1->setFont(arial(9));
    Text1->setMaxLength(40);
    Text1->setText(tr("<Enter the name of your forum here>"));

    btnCreate = button(this, "btnCreate", twipsRect(7080, 480, 1425, 330), imgCreateUP, tr("Create"),
                       QString(), QKeySequence(tr("Alt+C")), false);
    btnClear = button(this, "btnClear", twipsRect(8640, 480, 1425, 330), imgClearUP,
                      tr("Clear forum name"), QString(), QKeySequence(tr("Alt+N")), false);

    Line1 = place(new QFrame(this), "Line1", QRect(px(3600), px(870), px(10080) - px(3600), 1), QString());
    Line1->setFrameStyle(QFrame::HLine | QFrame::Plain);
    Line1->setLineWidth(1);

    Image2 = strip(this, "Image2", twipsRect(3600, 960, 6450, 300), picture("HeaderPost"));

    Label2 = caption(place(new QLabel(this), "Label2", twipsRect(3600, 1320, 990, 195), QString()),
                     tr("Message Title"));
    Text2 = place(new TextBox(this), "Text2", twipsRect(3600, 1560, 4215, 285), tr("Message Title"));
    Text2->setMaxLength(60);
    Label2->setBuddy(Text2);

    const QString stampTip = tr(" Place A Check Here To Include A Date & Time Stamp In Your Post ");
    btnCheck = button(this, "btnCheck", twipsRect(7905, 1590, 210, 210), imgCheckUP,
                      tr("Include Date & Time Stamp"), stampTip, QKeySequence(tr("Alt+D")), false);
    btnCheck->setTag(QStringLiteral("UN"));
    btnCheck->setCheckable(true);
    Label3 = place(new ClickLabel(this), "Label3", twipsRect(8160, 1610, 1935, 195),
                   tr("Include Date & Time Stamp"));
    caption(Label3, tr("Include Date & Time Stamp"));
    Label3->setToolTip(stampTip);

    Label1 = caption(place(new QLabel(this), "Label1", twipsRect(3600, 1980, 1050, 195), QString()),
                     tr("Message Body"));
    Text3 = place(new MemoBox(this), "Text3", twipsRect(3600, 2240, 6495, 1605), tr("Message Body"));
    Text3->setMaxLength(1000);
    Label1->setBuddy(Text3);

    Image3 = strip(this, "Image3", twipsRect(3600, 3885, 3345, 330), picture("Toolbar"));

    auto tool = [&](const char *name, int left, int width, const QPixmap &face, const QString &a11y,
                    const QString &tip, const QString &keys) {
        return button(this, name, twipsRect(left, 3920, width, 270), face, a11y, tip, QKeySequence(keys),
                      true);
    };
    btnBOLD = tool("btnBOLD", 3660, 210, imgBoldUP, tr("Bold"), tr(" Add/Close Bold Font Style "),
                   tr("Alt+B"));
    btnUNDERLINE = tool("btnUNDERLINE", 3960, 210, imgUnderlineUP, tr("Underline"),
                        tr(" Add/Close Underline Font Style "), tr("Alt+U"));
    btnITALIC = tool("btnITALIC", 4245, 210, imgItalicUP, tr("Italic"),
                     tr(" Add/Close Italicize Font Style "), tr("Alt+I"));
    btnLINK = tool("btnLINK", 4595, 540, imgLinkUP, tr("Link"), tr(" Add/Close Link Insert "),
                   tr("Alt+L"));
    btnIMAGE = tool("btnIMAGE", 5195, 750, imgImageUP, tr("Image"), tr(" Add Image Insert "),
                    tr("Alt+M"));
    btnView = tool("btnView", 6140, 750, imgViewUP, tr("Preview"), tr(" Preview Your Post "),
                   tr("Alt+V"));
    for (PictureButton *toggle : {btnBOLD, btnUNDERLINE, btnITALIC, btnLINK})
        toggle->setTag(QStringLiteral("OPEN"));

    btnClear2 = button(this, "btnClear2", twipsRect(7080, 3885, 1425, 330), imgClearUP,
                       tr("Clear message"), QString(), QKeySequence(tr("Alt+R")), false);
    btnPost = button(this, "btnPost", twipsRect(8640, 3885, 1425, 330), imgPostUP, tr("Post"),
                     QString(), QKeySequence(tr("Alt+P")), false);

    Web1 = place(new HtmlView(this), "Web1", twipsRect(120, 4320, 9975, 3615), tr("Forum page"));
    Web1->setServerOrigin(m_server.startPage());

    setTabOrder(Text1, Text2);
    setTabOrder(Text2, Text3);
    setTabOrder(Text3, List1);
    setTabOrder(List1, Web1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(m_timing.refreshMs);
    sckGetList = new Socket(this);
    sckGetList->setObjectName(QStringLiteral("sckGetList"));
    sckCreate = new Socket(this);
    sckCreate->setObjectName(QStringLiteral("sckCreate"));
    sckPost = new Socket(this);
    sckPost->setObjectName(QStringLiteral("sckPost"));
}
