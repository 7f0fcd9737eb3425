#include "server/base/logsink.h"

namespace logtext {

QString printable(const QByteArray &bytes, qsizetype maxChars)
{
    QString text = QString::fromUtf8(bytes);
    const bool cut = text.size() > maxChars;
    if (cut)
        text.truncate(maxChars);
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            c = u'?';
    }
    return cut ? text + QStringLiteral("...") : text;
}

} // namespace logtext
