#include "ui/previewpage.h"

// Title and body go in verbatim: the body is HTML the user wrote on purpose.
QString previewPage(const QString &title, const QString &body)
{
    return QStringLiteral("<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b>"
                          "<font color=\"#FFFFFF\">")
           + title
           + QStringLiteral("</b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">")
           + body + QStringLiteral("</font></td></tr></table><br>");
}
