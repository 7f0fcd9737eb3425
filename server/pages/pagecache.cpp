#include "server/pages/pagecache.h"

const pages::Page *PageCache::find(const Key &key, quint64 since)
{
    const auto held = m_pages.find(key);
    if (held == m_pages.end() || held->version < since)
        return nullptr;
    m_recent.splice(m_recent.begin(), m_recent, held->use);
    return &held->page;
}

void PageCache::keep(const Key &key, quint64 version, const pages::Page &page)
{
    const qsizetype size = bytesOf(page);
    if (size > m_maxPage)
        return;
    auto held = m_pages.find(key);
    if (held != m_pages.end()) {
        if (held->version >= version)
            return;
        m_bytes -= bytesOf(held->page);
        held->version = version;
        held->page = page;
        m_recent.splice(m_recent.begin(), m_recent, held->use);
    } else {
        m_recent.push_front(key);
        m_pages.insert(key, {version, page, m_recent.begin()});
    }
    m_bytes += size;
    while (m_bytes > m_maxBytes && m_recent.size() > 1)
        dropLeastRecent();
}

void PageCache::dropLeastRecent()
{
    const auto held = m_pages.find(m_recent.back());
    m_bytes -= bytesOf(held->page);
    m_pages.erase(held);
    m_recent.pop_back();
}
