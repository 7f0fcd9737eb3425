#include "server/base/logsink.h"

#include <algorithm>

namespace logtext {

QString printable(const QByteArray &bytes, qsizetype maxChars)
{
    // Most are short and plain ASCII, as every page address is.
    if (bytes.size() <= maxChars
        && std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c >= 0x20 && c < 0x7f; }))
        return QString::fromLatin1(bytes);
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
