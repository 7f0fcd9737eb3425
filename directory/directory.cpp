// The directory list: opening a forum's page, its tool tip, its horizontal extent.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "directory/extent.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "text/basstring.h"

#include <QFontMetricsF>
#include <QScreen>

#include <array>

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

namespace {

// An upper bound of a text's width that needs no shaping. For letters, digits,
// punctuation, symbols and spaces of the Latin range, drawn without letter or
// word spacing, a text is as wide as its characters' own advances moved by
// kerning; kerning shifts a glyph by a small fraction of the font's size, far
// less than the quarter of the line height allowed here for each character.
// Any other character (marks, controls, other scripts) leaves the width to a
// real measurement.
class WidthBound
{
public:
    WidthBound(const QFontMetricsF &metrics, const QFont &font)
        : m_metrics(metrics)
        , m_slack(metrics.height() / 4)
        , m_usable(font.letterSpacing() == 0 && font.wordSpacing() == 0
                   && font.capitalization() == QFont::MixedCase)
    {
        m_advance.fill(-1);
    }

    // An upper bound of the text's width in pixels, or a negative value when
    // the text has to be measured.
    qreal upperBound(const QString &text)
    {
        if (!m_usable)
            return -1;
        qreal sum = 0;
        for (const QChar c : text) {
            const qreal advance = advanceOf(c);
            if (advance < 0)
                return -1;
            sum += advance + m_slack;
        }
        return sum;
    }

private:
    static constexpr char16_t rangeEnd = 0x250; // Basic Latin to Latin Extended-B

    qreal advanceOf(QChar c)
    {
        if (c.unicode() >= rangeEnd)
            return -1;
        qreal &advance = m_advance[c.unicode()];
        if (advance == -1) {
            const bool simple = (c.isLetterOrNumber() || c.isPunct() || c.isSymbol()
                                 || c.category() == QChar::Separator_Space)
                                && m_metrics.inFont(c);
            advance = simple ? m_metrics.horizontalAdvance(c) : -2;
        }
        return advance;
    }

    const QFontMetricsF &m_metrics;
    const qreal m_slack;
    const bool m_usable;
    std::array<qreal, rangeEnd> m_advance; // -1: not looked up yet; -2: needs shaping
};

} // namespace

// Gives the list a horizontal scroll range once an entry is wider than the
// list. The parent's coordinates are twips, and entries are measured in the
// parent's font (for List1 the main window's, not the list's own). Any failure
// gives up silently.
void Form1::AddHorizontalScrollToLB(ListBox &LB)
{
    try {
        const QWidget *parent = LB.parentWidget();
        const QScreen *screen = LB.screen();
        const qreal dpi = screen ? screen->logicalDotsPerInchX() : 96.0;
        const float t = float(1440.0 / (dpi > 0 ? dpi : 96.0));
        const float widthTwips = float(LB.width()) * t;
        // A list without a parent has no units to convert from: the fallback extent.
        const float widthPx = parent ? extent::widthInPixels(extent::Twips, widthTwips, t) : 0.0f;
        const QFont font = parent ? parent->font() : LB.font();
        const QFontMetricsF metrics(font);
        WidthBound bound(metrics, font);
        const auto measure = [&](const QString &text) {
            // Most entries are far narrower than the list: a bound that fits
            // settles them without shaping the text, with the same answer (the
            // conversion to twips keeps the order of widths).
            const qreal upper = bound.upperBound(text);
            if (upper >= 0 && float(upper) * t <= widthTwips)
                return float(upper) * t;
            return float(metrics.horizontalAdvance(text)) * t;
        };
        if (const auto sent = extent::horizontalExtent(widthPx, widthTwips, LB.entries(), measure))
            LB.setHorizontalExtent(*sent);
    } catch (...) {
    }
}
