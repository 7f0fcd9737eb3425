#pragma once
// Which characters a forum name may hold besides the nine forbidden ones: one
// rule for the client before it sends a name and for the server that checks
// it. Header only, so the server shares it without the client's sockets.
//
// People type emoji sequences, whose zero-width joiners and variation
// selectors are part of the picture (👩‍💻, 🏳️‍🌈), and so are the tag letters
// of a region's flag. What hides or spoofs is
// refused: controls, and every invisible formatting character (Unicode's Cf:
// direction overrides and isolates, zero-width spaces and joiners, soft
// hyphens, word joiners, tags) outside such a sequence.

#include <QChar>
#include <QList>
#include <QStringView>

enum class NameCharacters {
    Ok,
    Control,   // C0 and C1 controls
    Invisible, // an invisible formatting character outside an emoji sequence
};

inline NameCharacters checkNameCharacters(QStringView name)
{
    const QList<uint> points = name.toUcs4();
    const auto pictograph = [](uint c) { return QChar::category(char32_t(c)) == QChar::Symbol_Other; };
    // Variation selectors and skin tones belong to the pictograph before them.
    const auto dressing = [](uint c) { return (c >= 0xfe00 && c <= 0xfe0f) || (c >= 0x1f3fb && c <= 0x1f3ff); };
    for (qsizetype i = 0; i < points.size(); ++i) {
        const uint c = points.at(i);
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
            return NameCharacters::Control;
        if (c == 0x1f3f4) { // a black flag, tag letters and a cancel tag: a region's flag (Scotland's)
            qsizetype end = i + 1;
            while (end < points.size() && points.at(end) >= 0xe0020 && points.at(end) <= 0xe007e)
                ++end;
            if (end > i + 1 && end < points.size() && points.at(end) == 0xe007f)
                i = end;
            continue;
        }
        if (QChar::category(char32_t(c)) != QChar::Other_Format)
            continue;
        if (c == 0x200d) { // a zero-width joiner joins two pictographs, or nothing
            qsizetype before = i - 1;
            while (before >= 0 && dressing(points.at(before)))
                --before;
            if (before >= 0 && pictograph(points.at(before)) && i + 1 < points.size() && pictograph(points.at(i + 1)))
                continue;
        }
        return NameCharacters::Invisible;
    }
    return NameCharacters::Ok;
}
