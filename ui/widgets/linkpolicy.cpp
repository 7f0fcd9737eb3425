#include "ui/widgets/linkpolicy.h"

namespace {

bool sameOrigin(const QUrl &url, const QUrl &origin)
{
    return origin.isValid() && url.scheme() == origin.scheme() && url.host() == origin.host()
        && url.port(80) == origin.port(80);
}

} // namespace

LinkTarget linkTarget(const QUrl &link, const QUrl &base, const QUrl &serverOrigin, QUrl *resolved)
{
    if (link.hasFragment() && link.path().isEmpty() && link.host().isEmpty()) {
        *resolved = link;
        return LinkTarget::Anchor;
    }
    *resolved = base.resolved(link);
    if (sameOrigin(*resolved, serverOrigin))
        return LinkTarget::View;
    // Any other scheme would hand the page's choice to whatever program the
    // desktop has for it (files, shares, custom handlers).
    const QString scheme = resolved->scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("mailto"))
        return LinkTarget::Desktop;
    return LinkTarget::Nowhere;
}
