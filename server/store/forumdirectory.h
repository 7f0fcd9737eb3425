#pragma once
// The forums as the server holds them in memory: names only ever grow, so
// the list port and the pages find a forum without asking the database.

#include "server/store/forumrecords.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <optional>

class ForumDirectory
{
public:
    // Adds the forums not yet known; false when all were.
    bool add(const QList<ForumEntry> &forums);
    std::optional<qint64> id(const QString &name) const;
    // Whether a forum is listed whose name differs from name at most by
    // letter case or by spaces at either end: readers could not tell them apart.
    bool hasAlike(const QString &name) const;
    qsizetype size() const { return m_forums.size(); }
    // The list port's reply: every name in creation order, joined by "*".
    const QByteArray &listReply() const { return m_listReply; }

private:
    QList<ForumEntry> m_forums; // in creation order
    QHash<QString, qint64> m_ids;
    QHash<QString, qint64> m_alike; // by name without end spaces, case folded
    QByteArray m_listReply;
};
