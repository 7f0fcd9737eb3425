#pragma once
// Publishing message HTML without script: an allow-list of tags and attributes.

#include <QByteArray>
#include <QString>

#include "server/posts/parsecost.h"

// Parses the fragment as a browser would and writes it back holding only
// plain formatting: b, i, u, br, links to http, https and mailto, pictures
// from http and https, fonts, paragraphs, lists and tables. Script, style,
// frames, objects and forms go with their content; any other tag is dropped
// and its text kept. Every text is escaped again, so the result is
// well-formed whatever came in. A result longer than maxSanitizedSize is
// replaced by the fragment's text alone, cut to that size.
inline constexpr qsizetype maxSanitizedSize = 128 * 1024;

// *escaped (if given) tells whether the fragment was over maxParseCost.
QString sanitizeHtml(const QByteArray &fragment, bool *escaped = nullptr);
