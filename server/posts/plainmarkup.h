#pragma once
// Fragments simple enough to be written back without the parser: text
// alone, and text with a few inline tags as the client's toolbar writes
// them. Most posts are one or the other, and a parse costs several times
// what the rest of taking a post does.

#include <QByteArray>
#include <QString>
#include <optional>

// What the parser and the sanitizer's writer would make of the fragment,
// when it is ASCII (tabs and line ends aside, no control character) without
// "&", and whatever tags it holds are b, i, u, s, em, strong, small, big,
// sub, sup, tt, code, strike, span or br with no attributes, nested in
// order and not too deep: blanks before it dropped, line ends made "\n",
// ">" escaped, tag names in lower case, tags left open closed at its end.
// Nothing for any other fragment, or for a result over limit.
std::optional<QString> writtenWithoutParsing(const QByteArray &fragment, qsizetype limit);
