#include "ui/widgets/htmlview.h"

#include "ui/widgets/findbar.h"
#include "ui/widgets/linkpolicy.h"
#include "ui/widgets/pageloader.h"

#include <QDesktopServices>
#include <QImage>
#include <QKeyEvent>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>

#include <cmath>
#include <utility>

namespace {

// What a picture that is not here (yet) looks like: Qt's own placeholder. Never
// a null value: Qt would then try the picture's name as a local file.
QImage missingPicture()
{
    static const QImage picture = [] {
        QImage placeholder(QStringLiteral(":/qt-project.org/styles/commonstyle/images/file-16.png"));
        if (placeholder.isNull()) {
            placeholder = QImage(16, 16, QImage::Format_ARGB32_Premultiplied);
            placeholder.fill(Qt::transparent);
        }
        return placeholder;
    }();
    return picture;
}

} // namespace

HtmlView::HtmlView(QWidget *parent)
    : QTextBrowser(parent)
    , m_loader(new PageLoader(this))
    , m_findBar(new FindBar(*this))
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &HtmlView::openLink);
    connect(m_loader, &PageLoader::loadingChanged, this,
            [this](bool loading) { viewport()->setCursor(loading ? Qt::BusyCursor : Qt::ArrowCursor); });
    connect(m_loader, &PageLoader::page, this, &HtmlView::showPage);
    connect(m_loader, &PageLoader::failed, this, &HtmlView::showError);
    connect(m_loader, &PageLoader::picture, this, &HtmlView::showPicture);
    connect(m_loader, &PageLoader::fetched, this, [this](const QUrl &, const QByteArray &etag, const QByteArray &body) {
        Q_EMIT pageFetched(m_address, etag, body);
    });
    // Anywhere in the view's window: the page is what there is to search.
    new QShortcut(QKeySequence::Find, this, [this] { m_findBar->open(); }, Qt::WindowShortcut);
    // So is the page's size: the reader should not have to click into the page
    // first. None of these keys is one a text field uses.
    const struct
    {
        QKeyCombination keys;
        int steps;
    } zooms[] = {{Qt::CTRL | Qt::Key_Plus, 1}, {Qt::CTRL | Qt::Key_Equal, 1}, {Qt::CTRL | Qt::Key_Minus, -1},
                 {Qt::CTRL | Qt::Key_0, 0}}; // 0: back to the font's own size
    for (const auto &zoom : zooms) {
        const int steps = zoom.steps;
        new QShortcut(QKeySequence(zoom.keys), this, [this, steps] { setZoom(steps == 0 ? 0 : m_zoom + steps); },
                      Qt::WindowShortcut);
    }
    connect(m_findBar, &FindBar::shownChanged, this, &HtmlView::placeFindBar);
    new QShortcut(QKeySequence::Back, this, [this] { goBack(); }, Qt::WindowShortcut);
}

void HtmlView::setCacheFolder(const QString &folder)
{
    m_loader->setCacheFolder(folder);
}

bool HtmlView::isLoading() const
{
    return m_loader->isLoading();
}

void HtmlView::navigate(const QString &address)
{
    if (address.compare(QLatin1String("about:blank"), Qt::CaseInsensitive) == 0) {
        m_loader->cancel();
        remember(QUrl(address));
        m_address = QUrl(address);
        clear();
        return;
    }
    openAddress(QUrl::fromUserInput(address));
}

void HtmlView::openAddress(const QUrl &url)
{
    m_keptScroll.reset();
    remember(url);
    m_address = url;
    m_loader->load(url);
}

void HtmlView::reload()
{
    const QPoint at(horizontalScrollBar()->value(), verticalScrollBar()->value());
    openAddress(m_address);
    m_keptScroll = at;
}

void HtmlView::remember(const QUrl &next)
{
    constexpr qsizetype maxBack = 50;
    if (m_address.isEmpty() || m_address == next || m_address.scheme() == QLatin1String("about"))
        return;
    m_back.append(m_address);
    if (m_back.size() > maxBack)
        m_back.removeFirst();
}

void HtmlView::goBack()
{
    if (m_back.isEmpty())
        return;
    m_keptScroll.reset();
    m_address = m_back.takeLast();
    m_loader->load(m_address);
}

void HtmlView::showPage(const QString &html, const QUrl &base, bool ok)
{
    document()->setBaseUrl(base);
    setHtml(html);
    if (const std::optional<QPoint> at = std::exchange(m_keptScroll, std::nullopt)) {
        horizontalScrollBar()->setValue(at->x());
        verticalScrollBar()->setValue(at->y());
    } else if (m_address.hasFragment()) { // a link to one message on the page
        scrollToAnchor(m_address.fragment());
    }
    Q_EMIT pageShown(m_address, ok);
}

void HtmlView::showError(const QUrl &url, const QString &reason)
{
    m_keptScroll.reset();
    const QString page = QStringLiteral("<h3>%1</h3><p>%2</p><p>%3</p>")
                             .arg(tr("This page cannot be shown.").toHtmlEscaped(),
                                  url.toDisplayString().toHtmlEscaped(), reason.toHtmlEscaped());
    document()->setBaseUrl(QUrl());
    setHtml(page);
    Q_EMIT pageShown(m_address, false);
    Q_EMIT loadFailed(m_address);
}

// Whatever the page, local or not, only pictures from the network are
// fetched: nothing local is read on a page's say-so, and no style sheet is
// read at all. Every answer is a value, never a null one, as Qt falls back
// to reading a resource's name as a local file when it gets none.
QVariant HtmlView::loadResource(int type, const QUrl &name)
{
    if (type != QTextDocument::ImageResource)
        return QString();
    m_loader->fetchPicture(document()->baseUrl().resolved(name));
    return missingPicture();
}

void HtmlView::showPicture(const QUrl &url, const QImage &image)
{
    document()->addResource(QTextDocument::ImageResource, url, image);
    // Lay the page out once for every burst of pictures, not once per picture.
    if (!m_relayoutQueued) {
        m_relayoutQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_relayoutQueued = false;
            document()->markContentsDirty(0, document()->characterCount());
        });
    }
}

void HtmlView::openLink(const QUrl &link)
{
    QUrl url;
    switch (linkTarget(link, document()->baseUrl(), m_serverOrigin, &url)) {
    case LinkTarget::Anchor: scrollToAnchor(url.fragment()); break;
    case LinkTarget::View: openAddress(url); break;
    case LinkTarget::Desktop: QDesktopServices::openUrl(url); break;
    case LinkTarget::Nowhere: break;
    }
}

void HtmlView::setZoom(int steps)
{
    steps = std::clamp(steps, minZoom, maxZoom);
    if (m_basePointSize <= 0)
        m_basePointSize = font().pointSizeF() > 0 ? font().pointSizeF() : 9;
    if (steps == m_zoom)
        return;
    m_zoom = steps;
    QFont larger = font();
    larger.setPointSizeF(m_basePointSize * std::pow(1.1, steps));
    setFont(larger); // the document's default: every page shown from now on
    Q_EMIT zoomChanged(steps);
}

void HtmlView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F3 && m_findBar->isVisible()) {
        (event->modifiers() & Qt::ShiftModifier) ? m_findBar->findPrevious() : m_findBar->findNext();
        return;
    }
    QTextBrowser::keyPressEvent(event);
}

void HtmlView::wheelEvent(QWheelEvent *event)
{
    if (event->modifiers() & Qt::ControlModifier) {
        if (const int delta = event->angleDelta().y(); delta != 0)
            setZoom(m_zoom + (delta > 0 ? 1 : -1));
        event->accept();
        return;
    }
    QTextBrowser::wheelEvent(event);
}

void HtmlView::resizeEvent(QResizeEvent *event)
{
    QTextBrowser::resizeEvent(event);
    placeFindBar();
}

// The open bar takes its room below the page rather than covering the page's
// bottom: what find scrolls to is then always in sight, and closing the bar
// leaves the page where it was.
void HtmlView::placeFindBar()
{
    const int height = m_findBar->isVisibleTo(this) ? m_findBar->sizeHint().height() : 0;
    setViewportMargins(0, 0, 0, height);
    const QRect area = viewport()->geometry();
    m_findBar->setGeometry(area.left(), area.bottom() + 1, area.width(), height);
}
