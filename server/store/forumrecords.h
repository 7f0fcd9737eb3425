#pragma once
// What the store hands to the pages.

#include <QByteArray>
#include <QString>

struct ForumEntry
{
    qint64 id = 0;
    QString name;
};

struct ForumSummary
{
    QString name;
    qint64 messageCount = 0;
};

// A message as pages show it: title and body already through sanitizeHtml.
struct PublishedMessage
{
    QString titleHtml;
    QString bodyHtml;
    qint64 number = 0; // in its forum, from 1 in arrival order (hidden ones counted)
};
