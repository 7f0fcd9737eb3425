#include "server/store/forumdirectory.h"

#include <algorithm>

namespace {

QString alikeKey(const QString &name)
{
    qsizetype from = 0;
    qsizetype to = name.size();
    while (from < to && name.at(from) == u' ')
        ++from;
    while (to > from && name.at(to - 1) == u' ')
        --to;
    return name.sliced(from, to - from).toCaseFolded();
}

} // namespace

bool ForumDirectory::add(const QList<ForumEntry> &forums)
{
    bool grew = false;
    for (const ForumEntry &forum : forums) {
        if (m_ids.contains(forum.name))
            continue;
        m_ids.insert(forum.name, forum.id);
        m_alike.insert(alikeKey(forum.name), forum.id);
        // Creations reported out of order still list in creation order.
        const auto at = std::upper_bound(m_forums.begin(), m_forums.end(), forum.id,
                                         [](qint64 id, const ForumEntry &f) { return id < f.id; });
        m_forums.insert(at, forum);
        grew = true;
    }
    if (grew) {
        QStringList names;
        names.reserve(m_forums.size());
        for (const ForumEntry &forum : std::as_const(m_forums))
            names.append(forum.name);
        m_listReply = names.join(u'*').toUtf8();
    }
    return grew;
}

std::optional<qint64> ForumDirectory::id(const QString &name) const
{
    const auto found = m_ids.constFind(name);
    if (found == m_ids.cend())
        return std::nullopt;
    return *found;
}

bool ForumDirectory::hasAlike(const QString &name) const
{
    return m_alike.contains(alikeKey(name));
}
