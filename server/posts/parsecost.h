#pragma once
// A budget for parsing message HTML, checked before any parse.

#include <QByteArray>

// What parsing the fragment costs, estimated without parsing it: tags and
// texts, each counted once more for every formatting element left open
// before it (a parser reopens those at every block). Tag soup that leaves
// thousands of distinct formatting elements open costs millions, and parsing
// it takes seconds and gigabytes; ordinary posts stay in the hundreds.
qint64 parseCost(const QByteArray &fragment);

// A fragment over this is published as its escaped source instead: the
// post is kept whole and stays readable, without being parsed at all.
inline constexpr qint64 maxParseCost = 200000;
