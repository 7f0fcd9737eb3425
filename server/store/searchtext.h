#pragma once
// Words as search sees them, the same for what is stored and what is asked:
// only the text a reader sees (markup is not text), cut into runs of letters
// and digits, lower case and without accents ("Ünïcode" is "unicode"). Both
// engines index the words this gives, so they find the same messages.

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace searchtext {

// Longer runs are not words anyone searches for, and would not fit every index.
inline constexpr qsizetype maxWordLength = 100;

// The text of sanitized HTML as a reader sees it: tags dropped (those that
// break a line leave a space), entities read.
QString visibleText(QStringView html);

// A word as the index holds it.
QString fold(QStringView word);

// Where the words of a text are (start and length in UTF-16 units).
struct Span
{
    qsizetype start = 0;
    qsizetype length = 0;
};
QList<Span> wordsIn(QStringView text);

// The folded words of a text, in order.
QStringList foldedWords(QStringView text);

// What the index holds for a message: its title's and body's words, folded,
// one space between.
QString indexed(const QString &titleHtml, const QString &bodyHtml);

} // namespace searchtext
