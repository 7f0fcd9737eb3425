#pragma once
// Finding messages by their words with the engine's own full-text index
// (SQLite FTS5, PostgreSQL tsvector with GIN), and filling that index for
// messages stored before it existed. Runs on the store thread, with its store.
//
// The words come already folded (searchtext): each reaches the engine as
// one quoted term, never as the engine's query syntax.

#include <QList>
#include <QString>
#include <QStringList>

class ForumStore;

namespace messagesearch {

// One message found, with where a reader finds it.
struct Hit
{
    QString forum;
    qint64 number = 0;
    qint64 newer = 0; // messages shown above it on its forum's pages
    QString titleHtml;
    QString bodyHtml;
};

struct Found
{
    QList<Hit> hits; // newest first
    qint64 total = 0; // matches counted: all of them, or up to the end of `page`
    bool more = false; // more than `total` match (the pages after `page` are not counted)
    qint64 page = 1; // the page given: the last when the one asked for is past it
    bool ok = false;
};

// A query's words matched as words, the last also as the start of a word
// when it is at least this long (a shorter start stands for most words).
inline constexpr int minPrefixLength = 3;
// Matches past this many are not counted nor shown.
inline constexpr qint64 maxCounted = 1000;
// Matches are counted only as far as the page asked for: a common word's
// thousands of messages are never all read for one page.

// The messages shown on forum pages that hold every word, `perPage` of them
// at page `page`; a statement running past timeoutMs is stopped (not ok).
Found find(const ForumStore &store, const QStringList &words, qint64 page, int perPage,
           int timeoutMs);

// Indexes up to `count` of the newest messages stored before the index
// existed, in one transaction: how many were done (0: none are left), -1 on failure.
int indexOlder(ForumStore &store, int count);

} // namespace messagesearch
