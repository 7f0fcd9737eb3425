#pragma once
// The search page's answers: refused at once when the query is too long or
// the requester has searched too often; else from the answers kept since the
// last change, or searched on a store thread of their own while the request
// waits (a few searches at a time: past them, 503), so that a slow search
// never holds up a page, a list or a post. Also fills the index, a chunk at
// a time on the store thread, for messages stored before it existed.

#include "server/net/addresslimit.h"
#include "server/pages/pages.h"

#include <QHash>
#include <QObject>
#include <functional>
#include <optional>

class StoreThread;

// Lives on the main thread; its searches run on the searching store thread.
class SearchServer
{
public:
    using Built = std::function<void(const http::Address &, quint64 version, const pages::Page &)>;
    // store: the one that indexes older messages; searching: the one that
    // searches (the same one where nothing else waits on it).
    // limitPerMinute: searches a client address may make (0: no limit).
    SearchServer(StoreThread &store, StoreThread &searching, QObject *context, Built built,
                 int limitPerMinute);

    // The address of "/search?...", or none when the target is another page.
    static std::optional<http::Address> address(const QByteArray &target);
    // An answer, or none while it is searched (`built` follows). version:
    // the pages' version now; since: the one the request waits for at least.
    std::optional<http::Entity> answer(http::Address &address, quint64 version, quint64 since,
                                       const QString &requester);
    // Indexes the older messages, a chunk per store job, until none is left.
    void indexOlderMessages();

    static constexpr int maxSearching = 4;
    static constexpr qsizetype maxCachedBytes = 4 * 1024 * 1024;
    static constexpr int indexChunk = 500;

private:
    struct Held
    {
        quint64 version = 0;
        pages::Page page;
    };
    static QString keyOf(const http::Address &address);
    void keep(const http::Address &address, quint64 version, const pages::Page &page);

    StoreThread &m_store;
    StoreThread &m_searchStore;
    QObject *m_context;
    Built m_built;
    AddressLimit m_limit;
    QHash<QString, Held> m_cache;
    qsizetype m_cachedBytes = 0;
    QHash<QString, quint64> m_searching; // the version each was started at
};
