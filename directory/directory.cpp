// The directory list: opening a forum's page, its tool tip, its horizontal extent.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "directory/extent.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "text/basstring.h"

#include <QFontMetricsF>
#include <QScreen>

qint32 Form1::InstrCount(const QString &StringToSearch, const QString &StringToFind)
{
    return instrCount(StringToSearch, StringToFind);
}

void Form1::List1_DblClick()
{
    const QString forum = List1->Text();
    if (forum.isEmpty())
        return;
    Web1->Navigate(QStringLiteral("about:blank"));
    Web1->Navigate(m_server.forumPage(forum).toString(QUrl::FullyEncoded));
}

void Form1::List1_MouseMove()
{
    const QString forum = List1->Text();
    if (!forum.isEmpty())
        List1->setToolTip(tr(" Double-Click to view the ''%1'' forum ").arg(forum));
}

// Gives the list a horizontal scroll range once an entry is wider than the
// list. The window's coordinates are twips; entries are measured in the
// window's own font. Any failure gives up silently.
void Form1::AddHorizontalScrollToLB(ListBox &LB)
{
    try {
        const QScreen *screen = LB.screen();
        const qreal dpi = screen ? screen->logicalDotsPerInchX() : 96.0;
        const float t = float(1440.0 / (dpi > 0 ? dpi : 96.0));
        const float widthTwips = float(LB.width()) * t;
        const float widthPx = extent::widthInPixels(extent::Twips, widthTwips, t);
        const QFontMetricsF metrics(font());
        const auto measure = [&](const QString &text) { return float(metrics.horizontalAdvance(text)) * t; };
        if (const auto sent = extent::horizontalExtent(widthPx, widthTwips, LB.entries(), measure))
            LB.setHorizontalExtent(*sent);
    } catch (...) {
    }
}
