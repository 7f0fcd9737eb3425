#pragma once
// The forums the user reads: what each one's first page was when the user
// last opened it, and whether it has changed since. A value; the directory
// keeps it in a small file of the user's data folder.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What a page was: its validator when the server gives one, and its bytes' hash.
struct PageSeen
{
    QByteArray etag;
    QByteArray hash;
    bool isKnown() const { return !etag.isEmpty() || !hash.isEmpty(); }
    bool operator==(const PageSeen &) const = default;
};

PageSeen pageSeen(const QByteArray &etag, const QByteArray &body);

// Whether a page the server has just given (status 200 or 304, its ETag and
// body) differs from what was seen. A 304 never does; a page is compared by
// its validator when both have one, else by its hash.
bool pageChanged(const PageSeen &seen, int status, const PageSeen &now);

class WatchedForums
{
public:
    static constexpr int limit = 50; // the least recently opened goes beyond it

    // The user opened forum: it is watched, first of all, and no longer marked.
    void open(const QString &forum);
    // The page of forum as the user saw it; nothing for a forum not watched.
    void setSeen(const QString &forum, const PageSeen &seen);
    void mark(const QString &forum);

    bool isWatched(const QString &forum) const { return find(forum) >= 0; }
    bool isMarked(const QString &forum) const;
    PageSeen seen(const QString &forum) const;
    // Most recently opened first.
    QStringList forums() const;

    QByteArray toJson() const;
    // Whatever the file holds, at most limit forums with names of a sound length.
    static WatchedForums fromJson(const QByteArray &json);

private:
    struct Entry
    {
        QString name;
        PageSeen seen;
        bool marked = false;
    };
    qsizetype find(const QString &forum) const;

    QList<Entry> m_entries;
};
