#pragma once
// The search page: "/search?q=WORDS&page=N", read into folded words, and the
// page of messages that hold them, built on the store thread.

#include "server/pages/pagebuilder.h"

#include <QStringList>
#include <optional>

namespace pages {

inline constexpr int resultsPerPage = 20;
// A query longer than this is refused (414), one of more words too (400).
inline constexpr qsizetype maxQueryBytes = 200;
inline constexpr qsizetype maxQueryWords = 10;
// A search statement running longer is stopped: the store thread has pages to build.
inline constexpr int searchTimeoutMs = 1000;

// What a search target asks for: its words folded (none: a page that asks
// for words), the page, or the status that refuses it (400, 414).
struct SearchTarget
{
    QStringList words;
    qint64 page = 1;
    int refusal = 0;
};
// None: the target is not the search page.
std::optional<SearchTarget> readSearchTarget(const QByteArray &target);

// A short piece of a message's visible text around its first matched word,
// escaped, each matched word in <b>.
QString excerpt(const QString &bodyHtml, const QStringList &words);

// The results page for folded words (none: the page that asks for them).
Built buildSearch(const ForumStore &store, const QStringList &words, qint64 page);

// Sentences for the answers that hold no results.
QByteArray searchRefusedPage(int status);

} // namespace pages
