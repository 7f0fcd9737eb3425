#pragma once
// Checking a message and assembling what a post sends.

#include <QDateTime>
#include <QLocale>
#include <QString>

enum class PostCheck {
    Ok,
    RefreshTag,  // "refresh" between straight double quotes, any case, in title or body
    Asterisk,    // "*" in title or body
    Empty,       // empty title or body (blanks are text)
    NoForum,     // nothing selected in the directory
};

// The checks in their fixed order; the first failure wins.
PostCheck checkPost(const QString &title, const QString &body, const QString &selectedForum);

// "<b>" title "</b>", or with the stamp "<b>" title "</b>  <i>(" dateTime ")</i>".
QString storedTitle(const QString &title, bool withStamp, const QString &dateTime);

// forum "*" stored title "*" body
QString postRequest(const QString &forum, const QString &storedTitle, const QString &body);

// The short date and long time of the locale joined by one blank; at exactly
// midnight the date alone. For en_US: "12/7/2026 3:04:05 PM".
QString dateTimeStamp(const QDateTime &moment, const QLocale &locale);
