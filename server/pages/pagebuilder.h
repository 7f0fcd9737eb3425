#pragma once
// Building a page from the store: runs on the store thread, with its connection.

#include "server/pages/pages.h"

class ForumStore;

namespace pages {

// A page as built, and the forums' message counts it read: every forum's
// for the start page, its own for a forum's page. A failed read gives none.
struct Built
{
    Page page;
    QList<ForumSummary> counts;
};

// The page at an address (an existing forum's, or the start page) as the
// store holds it now, finished (its validator and gzipped copy made).
Built build(const ForumStore &store, const http::Address &address);

} // namespace pages
