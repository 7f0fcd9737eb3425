#include "ui/extent.h"

#include <QLocale>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace extent {

// Rounds on the shortest decimal form of the float (the digits a user would
// read), so a value such as 0.00125 rounds as written. Exact decimal halves go
// away from zero. The text is read back in the C locale it was written in.
float roundByPattern(float value, int decimals)
{
    if (!std::isfinite(value) || decimals < 0)
        return value;
    char buffer[128];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (written.ec != std::errc())
        return value;
    std::string text(buffer, written.ptr);

    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.erase(0, 1);
    const auto point = text.find('.');
    std::string digits = point == std::string::npos ? text : text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);

    if (fraction.size() > std::size_t(decimals)) {
        const bool up = fraction[decimals] >= '5';
        fraction.resize(decimals);
        if (up) {
            std::string all = digits + fraction;
            auto i = all.size();
            while (i > 0 && all[i - 1] == '9')
                all[--i] = '0';
            if (i == 0)
                all.insert(all.begin(), '1');
            else
                ++all[i - 1];
            digits = all.substr(0, all.size() - fraction.size());
            fraction = all.substr(all.size() - fraction.size());
        }
    }
    QString formatted = QString::fromLatin1(negative ? "-" : "") + QString::fromLatin1(digits);
    if (!fraction.empty())
        formatted += u'.' + QString::fromLatin1(fraction);
    bool ok = false;
    const float back = QLocale::c().toFloat(formatted, &ok);
    return ok ? back : value;
}

float widthInPixels(float widthTwips, float t)
{
    const float pixels = widthTwips / t;
    return pixels != 0.0f ? roundByPattern(pixels, 4) : pixels;
}

std::optional<qint32> horizontalExtent(float widthPx, float lbWidth, const QStringList &entries,
                                       const std::function<float(const QString &)> &measure)
{
    if (widthPx == 0.0f)
        return fallbackExtent;
    for (const QString &entry : entries) {
        if (!(measure(entry + u' ') > lbWidth))
            continue;
        // Halves go to the even neighbour; a width that cannot become a 32-bit
        // extent (a division by a zero unit, say) sends nothing.
        const float rounded = std::nearbyint(widthPx + margin);
        if (!std::isfinite(rounded) || rounded < float(std::numeric_limits<qint32>::min())
            || rounded >= 2147483648.0f)
            return std::nullopt;
        return qint32(rounded);
    }
    return std::nullopt;
}

} // namespace extent
