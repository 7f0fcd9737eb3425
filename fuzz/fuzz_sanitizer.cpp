// Whatever a post holds, its published HTML carries no script.
#include "server/posts/sanitizer.h"

#include <QRegularExpression>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray fragment(reinterpret_cast<const char *>(data), qsizetype(size));
    bool escaped = false;
    const QString html = sanitizeHtml(fragment, &escaped);
    if (html.size() > maxSanitizedSize)
        std::abort();
    // Markup over the parse budget comes back as text only.
    if (escaped && (html.contains(u'<') || parseCost(fragment) <= maxParseCost))
        std::abort();
    // Text and simple markup written back without the parser come out as the parser makes them.
    if (html != sanitizeHtml(fragment, nullptr, Shortcuts::Skipped))
        std::abort();

    // Every tag left is a plain one; no event handler, style or script address survives.
    static const QRegularExpression tag(QStringLiteral("<(/?)([a-zA-Z0-9]*)([^>]*)>"));
    static const QRegularExpression attribute(QStringLiteral("\\s([^\\s=]+)=\"([^\"]*)\""));
    static const QRegularExpression badTag(
        QStringLiteral("^(script|style|iframe|frame|object|embed|svg|math|form|input|meta|base|link|noscript)$"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto tags = tag.globalMatch(html); tags.hasNext();) {
        const QRegularExpressionMatch found = tags.next();
        if (badTag.match(found.captured(2)).hasMatch())
            std::abort();
        for (auto attributes = attribute.globalMatch(found.captured(3)); attributes.hasNext();) {
            const QRegularExpressionMatch pair = attributes.next();
            const QString name = pair.captured(1).toLower();
            const QString value = pair.captured(2).trimmed().toLower();
            if (name.startsWith(QLatin1String("on")) || name == QLatin1String("style"))
                std::abort();
            if ((name == QLatin1String("href") || name == QLatin1String("src"))
                && !value.startsWith(QLatin1String("http:")) && !value.startsWith(QLatin1String("https:"))
                && !(name == QLatin1String("href") && value.startsWith(QLatin1String("mailto:"))))
                std::abort();
        }
    }
    return 0;
}
