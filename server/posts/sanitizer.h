#pragma once
// Publishing message HTML without script: an allow-list of tags and attributes.

#include <QByteArray>
#include <QString>
#include <algorithm>

#include "server/posts/parsecost.h"

// Parses the fragment as a browser would and writes it back holding only
// plain formatting: b, i, u, br, links to http, https and mailto, pictures
// from http and https, fonts, paragraphs, lists and tables. Script, style,
// frames, objects and forms go with their content; any other tag is dropped
// and its text kept. Every text is escaped again, so the result is
// well-formed whatever came in. A result longer than sanitizedLimit() is
// replaced by the fragment's text alone, cut to that size. U+0000 becomes
// U+FFFD, as browsers read it, since a database text cannot hold it.
inline constexpr qsizetype maxSanitizedSize = 128 * 1024;

// The most characters sanitizeHtml returns for a fragment of this many
// bytes: what a post waiting to be stored may come to hold, known before it
// is parsed. Text alone never grows past five times (an escaped "&").
constexpr qsizetype sanitizedLimit(qsizetype fragmentBytes)
{
    return std::min(maxSanitizedSize, 8 * fragmentBytes + 64);
}

// *escaped (if given) tells whether the fragment was over maxParseCost.
// Text and simple inline markup are written back without parsing them
// (plainmarkup.h), unless the shortcuts are skipped: tests compare the two.
enum class Shortcuts { Taken, Skipped };
QString sanitizeHtml(const QByteArray &fragment, bool *escaped = nullptr,
                     Shortcuts shortcuts = Shortcuts::Taken);
