#pragma once
// Where a link clicked on a page goes: links to the forum server's pages open
// in the page view, web and mail links in the desktop's browser, a link to a
// place on the same page scrolls there, anything else goes nowhere.

#include <QUrl>

enum class LinkTarget { Anchor, View, Desktop, Nowhere };

// link as written on the page whose address is base; *resolved is where it leads.
LinkTarget linkTarget(const QUrl &link, const QUrl &base, const QUrl &serverOrigin, QUrl *resolved);
