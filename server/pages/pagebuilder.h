#pragma once
// Building a page from the store: runs on the store thread, with its connection.

#include "server/pages/pages.h"

class ForumStore;

namespace pages {

// The page at a request target as the store holds it now, finished (its
// validator and gzipped copy made).
Page build(const ForumStore &store, const QByteArray &target);

} // namespace pages
