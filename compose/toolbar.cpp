// The formatting toolbar: tags go into the body at its selection. Bold, italic,
// underline and link alternate between their opening and closing tags.
#include "app/form1.h"
#include "platform/dialogs.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"

#include <QApplication>

namespace {

const QString open = QStringLiteral("OPEN");
const QString closed = QStringLiteral("CLOSED");

// An insertion that would pass the body's limit inserts nothing and leaves
// the toggle as it was, so no half tag is ever left behind.
bool insertIntoBody(MemoBox &body, const QString &text)
{
    if (body.setSelText(text))
        return true;
    QApplication::beep();
    return false;
}

void toggle(PictureButton &button, MemoBox &body, const QString &opening, const QString &closing)
{
    const bool opens = button.Tag() == open;
    if (insertIntoBody(body, opens ? opening : closing))
        button.setTag(opens ? closed : open);
}

} // namespace

void Form1::btnBOLD_Click()
{
    toggle(*btnBOLD, *Text3, QStringLiteral("<b>"), QStringLiteral("</b>"));
}

void Form1::btnITALIC_Click()
{
    toggle(*btnITALIC, *Text3, QStringLiteral("<i>"), QStringLiteral("</i>"));
}

void Form1::btnUNDERLINE_Click()
{
    toggle(*btnUNDERLINE, *Text3, QStringLiteral("<u>"), QStringLiteral("</u>"));
}

void Form1::btnLINK_Click()
{
    if (btnLINK->Tag() == closed) {
        if (insertIntoBody(*Text3, QStringLiteral("</a>")))
            btnLINK->setTag(open);
        return;
    }
    const QString address =
        m_dialogs.prompt(tr("Type the link address to insert:"), tr("Tavernly"), QStringLiteral("http://"));
    if (address.isEmpty() || address == QLatin1String("http://"))
        return;
    if (insertIntoBody(*Text3, QStringLiteral("<a href=\"%1\">").arg(address)))
        btnLINK->setTag(closed);
}

void Form1::btnIMAGE_Click()
{
    const QString address =
        m_dialogs.prompt(tr("Type the image link address to insert:"), tr("Tavernly"), QString());
    if (address.isEmpty())
        return;
    insertIntoBody(*Text3, QStringLiteral("<img src=\"%1\">").arg(address));
}
