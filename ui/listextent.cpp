#include "ui/listextent.h"

#include "ui/extent.h"
#include "ui/widgets/listbox.h"

#include <QFontMetricsF>
#include <QScreen>

#include <array>

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

// The parent's coordinates are twips, and entries are measured in the
// parent's font (for the directory the main window's, not the list's own).
// Any failure gives up silently.
void fitHorizontalExtent(ListBox &list)
{
    try {
        const QWidget *parent = list.parentWidget();
        const QScreen *screen = list.screen();
        const qreal dpi = screen ? screen->logicalDotsPerInchX() : 96.0;
        const float t = float(1440.0 / (dpi > 0 ? dpi : 96.0));
        const float widthTwips = float(list.width()) * t;
        // A list without a parent has no units to convert from: the fallback extent.
        const float widthPx = parent ? extent::widthInPixels(widthTwips, t) : 0.0f;
        const QFont font = parent ? parent->font() : list.font();
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
        if (const auto sent = extent::horizontalExtent(widthPx, widthTwips, list.entries(), measure))
            list.setHorizontalExtent(*sent);
    } catch (...) {
    }
}
