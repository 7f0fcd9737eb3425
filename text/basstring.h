#pragma once
// Reading the server's "*"-separated replies.

#include <QString>
#include <stdexcept>

namespace basString {

// NthField works with 16-bit positions and field numbers; a field that begins
// or ends past them raises this instead of returning a wrong field.
class FieldOverflow : public std::overflow_error
{
public:
    FieldOverflow();
};

// Field n (from 1) of text, split at a one-character delimiter.
// n <= 0, a missing field or an empty delimiter give the empty string.
QString NthField(const QString &text, const QString &delimiter, qint16 n);

} // namespace basString

// Number of non-overlapping occurrences of find in search; 0 for an empty
// find, -1 for an empty search (an empty text has no pieces at all).
qint32 instrCount(const QString &search, const QString &find);
