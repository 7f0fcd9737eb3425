#include "text/basstring.h"

namespace {

// NthField keeps every position and its field counter in 16-bit signed values.
constexpr qsizetype maxPosition = 32767;
constexpr qint32 maxField = 32767;

} // namespace

basString::FieldOverflow::FieldOverflow()
    : std::overflow_error("NthField: a field position or number left the 16-bit range")
{
}

// A delimiter of several characters separates as one whole string: a field
// begins right after it and ends right before the next occurrence. The limits
// then apply to the closing delimiter's first character and to the position
// just before a field's first character, as for a single character.
QString basString::NthField(const QString &text, const QString &delimiter, qint16 n)
{
    if (n <= 0 || delimiter.isEmpty())
        return QString();

    const qsizetype delimiterLength = delimiter.size();
    qsizetype before = 0; // 1-based position just before the current field (0 for field 1)
    qint32 k = 1;
    while (k <= n) {
        // The search starts at before + 1, which must itself be a valid position.
        if (before + 1 > maxPosition)
            throw FieldOverflow();
        const qsizetype found = text.indexOf(delimiter, before, Qt::CaseSensitive);
        if (found < 0)
            return k == n ? text.mid(before) : QString(); // the last field has a 32-bit length
        const qsizetype p = found + 1;
        if (p > maxPosition)
            throw FieldOverflow();
        if (k == n) {
            // The counter still steps past the field just taken.
            if (k == maxField)
                throw FieldOverflow();
            return text.mid(before, p - 1 - before);
        }
        before = p + delimiterLength - 1;
        ++k;
    }
    return QString();
}

qint32 instrCount(const QString &search, const QString &find)
{
    if (find.isEmpty())
        return 0;
    if (search.isEmpty())
        return -1;
    qint32 count = 0;
    qsizetype from = 0;
    while ((from = search.indexOf(find, from, Qt::CaseSensitive)) >= 0) {
        ++count;
        from += find.size(); // occurrences never overlap
    }
    return count;
}
