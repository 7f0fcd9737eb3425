#include "server/pages/pagebuilder.h"

#include "server/store/forumstore.h"

#include <algorithm>

namespace pages {

namespace {

Built pageAt(const ForumStore &store, const http::Address &address)
{
    const Page failed{500, failurePage()};
    bool ok = false;
    if (address.group == 0) {
        const QList<ForumSummary> forums = store.forumSummaries(&ok);
        return ok ? Built{{200, startPage(forums)}, forums} : Built{failed, {}};
    }
    const qint64 id = address.group;
    const qint64 skip = (address.page - 1) * messagesPerPage;
    const qint64 count = store.messageCount(id);
    if (!store.isAvailable())
        return {failed, {}};
    const QList<ForumSummary> counts{{address.name, count}};
    if (address.page > 1 && skip >= count)
        return {{404, notFoundPage(), id}, counts};
    const auto messages = store.messages(id, int(skip), messagesPerPage, &ok);
    if (!ok)
        return {failed, {}};
    const qint64 pageCount = std::max<qint64>(1, (count + messagesPerPage - 1) / messagesPerPage);
    return {{200, forumPage(address.name, messages, int(address.page), int(pageCount)), id},
            counts};
}

} // namespace

Built build(const ForumStore &store, const http::Address &address)
{
    Built built = pageAt(store, address);
    finish(built.page);
    return built;
}

} // namespace pages
