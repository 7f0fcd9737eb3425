// The formatting toolbar: tags go into the body at its selection. Bold, italic,
// underline and link alternate between their opening and closing tags.
#include "ui/composer.h"

#include "ui/widgets/dialogs.h"
#include "ui/widgets/plaintextedit.h"

#include <QApplication>

namespace {

// An insertion that would pass the body's limit inserts nothing and leaves
// the toggle as it was, so no half tag is ever left behind.
bool insertIntoBody(PlainTextEdit &body, const QString &text)
{
    if (body.replaceSelection(text))
        return true;
    QApplication::beep();
    return false;
}

// The tag a press inserts; a link's opening carries its address, so insertLink() builds it.
QString tagText(PairedTag tag, bool closing)
{
    switch (tag) {
    case PairedTag::Bold: return closing ? QStringLiteral("</b>") : QStringLiteral("<b>");
    case PairedTag::Underline: return closing ? QStringLiteral("</u>") : QStringLiteral("<u>");
    case PairedTag::Italic: return closing ? QStringLiteral("</i>") : QStringLiteral("<i>");
    case PairedTag::Link: break;
    }
    return closing ? QStringLiteral("</a>") : QString();
}

} // namespace

void Composer::togglePairedTag(PairedTag tag)
{
    const bool closes = m_toolbar.awaitingClose(tag);
    if (insertIntoBody(*m_controls.body, tagText(tag, closes)))
        m_toolbar.setAwaitingClose(tag, !closes);
}

void Composer::insertLink()
{
    if (m_toolbar.awaitingClose(PairedTag::Link)) {
        togglePairedTag(PairedTag::Link);
        return;
    }
    const QString address =
        m_dialogs.prompt(tr("Type the link address to insert:"), tr("Tavernly"), QStringLiteral("http://"));
    if (address.isEmpty() || address == QLatin1String("http://"))
        return;
    if (insertIntoBody(*m_controls.body, QStringLiteral("<a href=\"%1\">").arg(address)))
        m_toolbar.setAwaitingClose(PairedTag::Link, true);
}

void Composer::insertImage()
{
    const QString address =
        m_dialogs.prompt(tr("Type the image link address to insert:"), tr("Tavernly"), QString());
    if (address.isEmpty())
        return;
    insertIntoBody(*m_controls.body, QStringLiteral("<img src=\"%1\">").arg(address));
}
