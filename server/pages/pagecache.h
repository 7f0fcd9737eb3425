#pragma once
// The pages the server has built, by what they address, up to a number of
// bytes: when a new one does not fit, the least recently read go first, so
// a flood of pages nobody reads again cannot push out the ones readers ask for.

#include "server/pages/pages.h"

#include <QHash>
#include <list>

// Lives on the main thread.
class PageCache
{
public:
    struct Key
    {
        qint64 group = 0;
        qint64 page = 1;
        friend bool operator==(const Key &, const Key &) = default;
        friend size_t qHash(const Key &key, size_t seed = 0) noexcept
        {
            return qHashMulti(seed, key.group, key.page);
        }
    };

    // maxBytes: of all pages held; maxPage: a larger page is not held.
    PageCache(qsizetype maxBytes, qsizetype maxPage) : m_maxBytes(maxBytes), m_maxPage(maxPage) {}

    // The page held for `key` if it was built at `since` or later; a page
    // found counts as read just now.
    const pages::Page *find(const Key &key, quint64 since);
    // Holds a page built at `version`, unless one built later is held.
    void keep(const Key &key, quint64 version, const pages::Page &page);

    qsizetype bytes() const { return m_bytes; }
    qsizetype size() const { return m_pages.size(); }

private:
    struct Held
    {
        quint64 version = 0;
        pages::Page page;
        std::list<Key>::iterator use; // its place in m_recent
    };

    static qsizetype bytesOf(const pages::Page &page)
    {
        return page.body.size() + page.gzipped.size();
    }
    void dropLeastRecent();

    qsizetype m_maxBytes;
    qsizetype m_maxPage;
    qsizetype m_bytes = 0;
    QHash<Key, Held> m_pages;
    std::list<Key> m_recent; // most recently read first
};
