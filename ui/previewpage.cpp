#include "ui/previewpage.h"

#include "protocol/messagemarkup.h"

// Title and body go in verbatim: the body is HTML the user wrote on purpose.
QString previewPage(const QString &title, const QString &body)
{
    return messagemarkup::table(title, body);
}
