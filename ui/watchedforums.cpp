#include "ui/watchedforums.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A forum name is at most 40 characters; anything far longer is no forum.
constexpr qsizetype nameCap = 200;
constexpr qsizetype tokenCap = 200;

} // namespace

PageSeen pageSeen(const QByteArray &etag, const QByteArray &body)
{
    return {etag.left(tokenCap), QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()};
}

bool pageChanged(const PageSeen &seen, int status, const PageSeen &now)
{
    if (status == 304 || !seen.isKnown())
        return false;
    if (!seen.etag.isEmpty() && !now.etag.isEmpty())
        return seen.etag != now.etag;
    return !seen.hash.isEmpty() && seen.hash != now.hash;
}

qsizetype WatchedForums::find(const QString &forum) const
{
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).name == forum)
            return i;
    }
    return -1;
}

void WatchedForums::open(const QString &forum)
{
    Entry entry{forum, {}, false};
    if (const qsizetype at = find(forum); at >= 0)
        entry.seen = m_entries.takeAt(at).seen;
    m_entries.prepend(entry);
    while (m_entries.size() > limit)
        m_entries.removeLast();
}

void WatchedForums::setSeen(const QString &forum, const PageSeen &seen)
{
    if (const qsizetype at = find(forum); at >= 0)
        m_entries[at].seen = seen;
}

void WatchedForums::mark(const QString &forum)
{
    if (const qsizetype at = find(forum); at >= 0)
        m_entries[at].marked = true;
}

bool WatchedForums::isMarked(const QString &forum) const
{
    const qsizetype at = find(forum);
    return at >= 0 && m_entries.at(at).marked;
}

PageSeen WatchedForums::seen(const QString &forum) const
{
    const qsizetype at = find(forum);
    return at >= 0 ? m_entries.at(at).seen : PageSeen{};
}

QStringList WatchedForums::forums() const
{
    QStringList names;
    for (const Entry &entry : m_entries)
        names.append(entry.name);
    return names;
}

QByteArray WatchedForums::toJson() const
{
    QJsonArray forums;
    for (const Entry &entry : m_entries) {
        forums.append(QJsonObject{{QStringLiteral("name"), entry.name},
                                  {QStringLiteral("etag"), QString::fromLatin1(entry.seen.etag)},
                                  {QStringLiteral("hash"), QString::fromLatin1(entry.seen.hash)},
                                  {QStringLiteral("new"), entry.marked}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("forums"), forums}}).toJson();
}

WatchedForums WatchedForums::fromJson(const QByteArray &json)
{
    WatchedForums watched;
    const QJsonArray forums = QJsonDocument::fromJson(json).object().value(QStringLiteral("forums")).toArray();
    for (const QJsonValue &value : forums) {
        const QJsonObject forum = value.toObject();
        const QString name = forum.value(QStringLiteral("name")).toString();
        if (name.isEmpty() || name.size() > nameCap || watched.isWatched(name))
            continue;
        Entry entry{name,
                    {forum.value(QStringLiteral("etag")).toString().toLatin1().left(tokenCap),
                     forum.value(QStringLiteral("hash")).toString().toLatin1().left(tokenCap)},
                    forum.value(QStringLiteral("new")).toBool()};
        watched.m_entries.append(entry);
        if (watched.m_entries.size() == limit)
            break;
    }
    return watched;
}
