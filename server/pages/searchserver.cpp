#include "server/pages/searchserver.h"

#include "server/base/mainthread.h"
#include "server/pages/searchpage.h"
#include "server/store/messagesearch.h"
#include "server/store/storethread.h"

#include <QTimer>

namespace {

constexpr qint64 limitWindowMs = 60 * 1000;
constexpr int indexRetryMs = 1000; // after a failed chunk (a lost database, a lock)

pages::Page refusal(int status)
{
    return pages::Page{status, pages::searchRefusedPage(status)};
}

QHostAddress hostOf(QString requester)
{
    if (requester.startsWith(u'[') && requester.endsWith(u']'))
        requester = requester.mid(1, requester.size() - 2);
    return QHostAddress(requester);
}

} // namespace

SearchServer::SearchServer(StoreThread &store, StoreThread &searching, QObject *context,
                           Built built, int limitPerMinute)
    : m_store(store), m_searchStore(searching), m_context(context), m_built(std::move(built)),
      m_limit(limitPerMinute, limitWindowMs)
{
}

std::optional<http::Address> SearchServer::address(const QByteArray &target)
{
    const std::optional<pages::SearchTarget> read = pages::readSearchTarget(target);
    if (!read)
        return std::nullopt;
    http::Address address{http::Address::search, read->page, read->words.join(u' ')};
    address.refusal = read->refusal;
    return address;
}

QString SearchServer::keyOf(const http::Address &address)
{
    return address.name + u'\n' + QString::number(address.page);
}

std::optional<http::Entity> SearchServer::answer(http::Address &address, quint64 version,
                                                 quint64 since, const QString &requester)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (address.refusal != 0)
        return refusal(address.refusal);
    // Counted once per request, however often it is asked again while it waits.
    if (!address.charged) {
        address.charged = true;
        if (!m_limit.take(hostOf(requester)))
            return refusal(429);
    }
    const QString key = keyOf(address);
    const auto held = m_cache.constFind(key);
    if (held != m_cache.cend() && held->version == version)
        return held->page;
    const auto searching = m_searching.constFind(key);
    if (searching != m_searching.cend() && *searching >= since)
        return std::nullopt;
    if (m_searching.size() >= maxSearching)
        return pages::Page{503, pages::failurePage()}; // the search thread has enough to do
    m_searching.insert(key, version);
    const QStringList words = address.name.isEmpty() ? QStringList() : address.name.split(u' ');
    m_searchStore.run(m_context, [this, address, version, words](ForumStore &store) {
        return StoreThread::Reply(
            [this, address, version,
             built = pages::buildSearch(store, words, address.page)] {
                keep(address, version, built.page);
            });
    });
    return std::nullopt;
}

void SearchServer::keep(const http::Address &address, quint64 version, const pages::Page &page)
{
    const QString key = keyOf(address);
    if (m_searching.value(key) == version)
        m_searching.remove(key);
    if (page.status == 200) {
        // Kept until the next change; all dropped when they grow past the bound.
        if (m_cachedBytes + page.body.size() > maxCachedBytes) {
            m_cache.clear();
            m_cachedBytes = 0;
        }
        const Held old = m_cache.take(key);
        m_cachedBytes += page.body.size() - old.page.body.size();
        m_cache.insert(key, {version, page});
    }
    m_built(address, version, page);
}

void SearchServer::indexOlderMessages()
{
    m_store.run(m_context, [this](ForumStore &store) {
        const int done = messagesearch::indexOlder(store, indexChunk);
        return StoreThread::Reply([this, done] {
            if (done > 0) {
                m_cache.clear(); // more messages can be found now
                m_cachedBytes = 0;
                indexOlderMessages();
            } else if (done < 0) {
                QTimer::singleShot(indexRetryMs, m_context, [this] { indexOlderMessages(); });
            }
        });
    });
}
