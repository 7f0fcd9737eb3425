#pragma once
// The list box's horizontal scroll extent: unit conversions and the walk over
// the entries. T is the screen's twips per pixel (15 at 96 dpi).

#include <QStringList>
#include <functional>
#include <optional>

namespace extent {

enum ScaleMode : qint16 {
    User = 0, Twips = 1, Points = 2, Pixels = 3, Characters = 4,
    Inches = 5, Millimeters = 6, Centimeters = 7,
};

// Rounds by formatting with a "#.###" pattern of `decimals` places and reading back.
float roundByPattern(float value, int decimals);

float charactersPerPixel(float t); // T / 120, four decimals
float inchesPerPixel(float t);     // T / 1440, five decimals
float centimetersPerPixel(float t); // T / 567, five decimals
float pointsPerPixel(float t);     // inchesPerPixel * 72
float millimetersPerPixel(float t); // centimetersPerPixel * 10

// The list box's width in pixels from its width in the parent's scale mode;
// 0 for a mode it cannot convert. Rounded to four decimals.
float widthInPixels(qint16 scaleMode, float width, float t);

constexpr qint32 fallbackExtent = 100000000;
constexpr float margin = 50.0f;

// The extent to send, or nothing to send. widthPx is widthInPixels (0: fallback);
// lbWidth is the list's width in the parent's units; measure gives a text's width
// in the same units. Stops at the first entry wider than the list.
std::optional<qint32> horizontalExtent(float widthPx, float lbWidth, const QStringList &entries,
                                       const std::function<float(const QString &)> &measure);

} // namespace extent
