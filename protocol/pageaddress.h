#pragma once
// Where a forum's page is, as the client asks for it and the server reads
// it: "/tav/<name>.htm", then "?page=N" after the first page. The name is
// one path segment: everything but the unreserved characters is escaped
// (UTF-8 for letters outside ASCII), so "#", "?", "%" and "/" in a name
// cannot cut the address short or point elsewhere. Header only, shared.

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

namespace pageaddress {

inline QString forumPath(const QString &forum, int page = 1)
{
    QString path = QStringLiteral("/tav/") + QString::fromLatin1(QUrl::toPercentEncoding(forum))
        + QStringLiteral(".htm");
    if (page > 1)
        path += QStringLiteral("?page=") + QString::number(page);
    return path;
}

// The search page for some words: "/search?q=<words as percent-encoded
// UTF-8>", then "&page=N" after the first page.
inline QString searchPath(const QString &words, qint64 page = 1)
{
    QString path = QStringLiteral("/search?q=") + QString::fromLatin1(QUrl::toPercentEncoding(words));
    if (page > 1)
        path += QStringLiteral("&page=") + QString::number(page);
    return path;
}

// The forum name a request path addresses, as sent ("/tav/a%20b.htm"), if
// the path has that form.
inline std::optional<QString> forumFromPath(const QByteArray &encodedPath)
{
    static const QByteArray prefix = QByteArrayLiteral("/tav/");
    static const QByteArray suffix = QByteArrayLiteral(".htm");
    if (!encodedPath.startsWith(prefix))
        return std::nullopt;
    const QByteArray encodedName = encodedPath.mid(prefix.size());
    if (encodedName.contains('/'))
        return std::nullopt;
    QByteArray raw = QByteArray::fromPercentEncoding(encodedName);
    if (!raw.endsWith(suffix) || raw.size() == suffix.size())
        return std::nullopt;
    raw.chop(suffix.size());
    const QString name = QString::fromUtf8(raw);
    if (name.toUtf8() != raw)
        return std::nullopt;
    return name;
}

} // namespace pageaddress
