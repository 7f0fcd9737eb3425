#pragma once
// The list box's horizontal scroll extent: unit conversions and the walk over
// the entries. T is the screen's twips per pixel (15 at 96 dpi).

#include <QStringList>
#include <functional>
#include <optional>

namespace extent {

// Rounds by formatting with a "#.###" pattern of `decimals` places and reading back.
float roundByPattern(float value, int decimals);

// The list box's width in pixels from its width in twips, rounded to four decimals.
float widthInPixels(float widthTwips, float t);

constexpr qint32 fallbackExtent = 100000000;
constexpr float margin = 50.0f;

// The extent to send, or nothing to send. widthPx is widthInPixels (0: fallback);
// lbWidth is the list's width in the parent's units; measure gives a text's width
// in the same units. Stops at the first entry wider than the list.
std::optional<qint32> horizontalExtent(float widthPx, float lbWidth, const QStringList &entries,
                                       const std::function<float(const QString &)> &measure);

} // namespace extent
