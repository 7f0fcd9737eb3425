#include "ui/listextent.h"

#include "ui/widgets/listwidget.h"

#include <QFontMetricsF>
#include <QStyle>

#include <algorithm>
#include <array>
#include <cmath>

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

// The widest entry, as the list draws it, sets the range: the end of every
// name can be scrolled into view. Most entries are far narrower than the
// widest one so far; a bound that stays under it settles them unshaped.
void fitHorizontalExtent(ListWidget &list)
{
    const QFont font = list.font();
    const QFontMetricsF metrics(font);
    WidthBound bound(metrics, font);
    qreal widest = 0;
    for (const QString &entry : list.entries()) {
        const qreal upper = bound.upperBound(entry);
        if (upper >= 0 && upper <= widest)
            continue;
        widest = std::max(widest, metrics.horizontalAdvance(entry));
    }
    // The item view keeps a margin on either side of an entry's text.
    const int margin = list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
    list.setHorizontalExtent(widest > 0 ? int(std::ceil(widest)) + 2 * margin : 0);
}
