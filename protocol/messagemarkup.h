#pragma once
// How one message looks, the same in the client's preview and on the
// server's forum pages: a title band and a body band. Header only, so the
// server shares it without the client's sockets.

#include <QString>

namespace messagemarkup {

// Title and body go in as they are: the caller decides what is safe.
inline QString table(const QString &titleHtml, const QString &bodyHtml)
{
    return QStringLiteral("<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b>"
                          "<font color=\"#FFFFFF\">")
        + titleHtml
        + QStringLiteral("</b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">")
        + bodyHtml + QStringLiteral("</font></td></tr></table><br>");
}

} // namespace messagemarkup
