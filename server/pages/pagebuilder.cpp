#include "server/pages/pagebuilder.h"

#include "server/store/forumstore.h"

#include <QUrl>
#include <QUrlQuery>

namespace pages {

namespace {

Page pageAt(const ForumStore &store, const QByteArray &target)
{
    const Page notFound{404, notFoundPage()};
    const Page failed{500, failurePage()};
    const QUrl url = QUrl::fromEncoded(target);
    if (!url.isValid())
        return notFound;
    bool ok = false;
    const QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
    if (path == "/dn.htm") {
        const QList<ForumSummary> forums = store.forumSummaries(&ok);
        return ok ? Page{200, startPage(forums)} : failed;
    }
    const std::optional<QString> forum = forumFromPath(path);
    if (!forum)
        return notFound;
    const std::optional<qint64> id = store.forumId(*forum);
    if (!id)
        return store.isAvailable() ? notFound : failed;
    int page = 1;
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("page"))) {
        page = query.queryItemValue(QStringLiteral("page")).toInt(&ok);
        if (!ok || page < 1)
            return notFound;
    }
    const qint64 skip = qint64(page - 1) * messagesPerPage;
    const qint64 count = store.messageCount(*id);
    if (page > 1 && skip >= count)
        return store.isAvailable() ? Page{404, notFound.body, *id} : failed;
    const auto messages = store.messages(*id, int(skip), messagesPerPage, &ok);
    if (!ok)
        return failed;
    return {200, forumPage(*forum, messages, page, skip + messagesPerPage < count), *id};
}

} // namespace

Page build(const ForumStore &store, const QByteArray &target)
{
    Page page = pageAt(store, target);
    finish(page);
    return page;
}

} // namespace pages
