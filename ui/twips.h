#pragma once
// The layout is given in twips; 15 twips make one device-independent pixel.

#include <QRect>
#include <cmath>

constexpr int twipsPerPixel = 15;

constexpr int px(int twips)
{
    return (twips * 2 + (twips >= 0 ? twipsPerPixel : -twipsPerPixel)) / (2 * twipsPerPixel);
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}
