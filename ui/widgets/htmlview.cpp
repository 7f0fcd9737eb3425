#include "ui/widgets/htmlview.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QTimer>

#include <memory>

namespace {

QString decodeHtml(const QByteArray &data, const QByteArray &contentType)
{
    const int at = contentType.toLower().indexOf("charset=");
    if (at >= 0) {
        QByteArray name = contentType.mid(at + 8).trimmed();
        if (const int end = name.indexOf(';'); end >= 0)
            name.truncate(end);
        name.replace('"', QByteArray());
        QStringDecoder decoder(name.constData());
        if (decoder.isValid())
            return decoder.decode(data);
    }
    QStringDecoder decoder(QStringConverter::encodingForHtml(data).value_or(QStringConverter::Utf8));
    return decoder.decode(data);
}

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

// When a page in the cache was last had from its server; kept with the page.
constexpr auto savedAtAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);

QByteArray contentTypeOf(const QNetworkCacheMetaData &page)
{
    for (const auto &[name, value] : page.rawHeaders()) {
        if (name.compare("content-type", Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

// Whether a download has grown, or says it will grow, beyond the cap.
bool exceeds(const QNetworkReply &reply, qint64 cap)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return (length.isValid() && length.toLongLong() > cap) || reply.bytesAvailable() > cap;
}

} // namespace

HtmlView::HtmlView(QWidget *parent)
    : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    connect(this, &QTextBrowser::anchorClicked, this, &HtmlView::openLink);
}

void HtmlView::setCacheFolder(const QString &folder)
{
    m_cache = new QNetworkDiskCache(this);
    m_cache->setCacheDirectory(folder);
    m_cache->setMaximumCacheSize(cacheCapBytes);
    m_network.setCache(m_cache); // the manager takes it over
}

void HtmlView::navigate(const QString &address)
{
    if (address.compare(QLatin1String("about:blank"), Qt::CaseInsensitive) == 0) {
        cancelLoads();
        m_address = QUrl(address);
        clear();
        return;
    }
    const QUrl url = QUrl::fromUserInput(address);
    openAddress(url);
}

void HtmlView::openAddress(const QUrl &url)
{
    cancelLoads();
    m_address = url;
    if (url.isLocalFile()) {
        QFile file(url.toLocalFile());
        if (!file.open(QIODevice::ReadOnly)) {
            showError(url, file.errorString());
            return;
        }
        // A device says it is empty and never ends: what is read is what counts.
        const QByteArray page = file.read(downloadCapBytes + 1);
        if (page.size() > downloadCapBytes) {
            showError(url, tr("The page is larger than 16 MiB."));
            return;
        }
        showPage(decodeHtml(page, QByteArray()), url, true);
        return;
    }
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) {
        showError(url, tr("This kind of address cannot be shown here."));
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(pageTimeoutMs);
    m_page = m_network.get(request);
    viewport()->setCursor(Qt::BusyCursor);
    connect(m_page, &QNetworkReply::metaDataChanged, this, &HtmlView::stopOversizedPage);
    connect(m_page, &QNetworkReply::readyRead, this, &HtmlView::stopOversizedPage);
    connect(m_page, &QNetworkReply::finished, this, &HtmlView::onPageFinished);
}

// Stops as soon as the declared length or the data so far is over the cap.
void HtmlView::stopOversizedPage()
{
    QNetworkReply *reply = m_page;
    if (!reply || !exceeds(*reply, downloadCapBytes))
        return;
    m_page = nullptr;
    viewport()->setCursor(Qt::ArrowCursor);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    showError(reply->url(), tr("The page is larger than 16 MiB."));
}

void HtmlView::cancelLoads()
{
    if (m_page) {
        QNetworkReply *page = m_page;
        m_page = nullptr;
        viewport()->setCursor(Qt::ArrowCursor);
        page->disconnect(this);
        page->abort();
        page->deleteLater();
    }
    for (QNetworkReply *image : std::as_const(m_images)) {
        image->disconnect(this);
        image->abort();
        image->deleteLater();
    }
    m_images.clear();
    m_failedImages.clear();
}

void HtmlView::onPageFinished()
{
    QNetworkReply *reply = m_page;
    if (!reply)
        return;
    m_page = nullptr;
    viewport()->setCursor(Qt::ArrowCursor);
    reply->deleteLater();

    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const QByteArray body = reply->readAll();
    if (!answered && showSavedCopy(reply->url()))
        return;
    if (reply->error() != QNetworkReply::NoError && (!answered || body.isEmpty())) {
        showError(reply->url(), reply->errorString());
        return;
    }
    if (reply->error() == QNetworkReply::NoError)
        noteSaved(reply->url());
    const QUrl base = reply->url();
    const QUrl address = m_address;
    showPage(decodeHtml(body, reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()), base,
             reply->error() == QNetworkReply::NoError);
    if (reply->error() == QNetworkReply::NoError)
        Q_EMIT pageFetched(address, reply->rawHeader("ETag"), body);
}

void HtmlView::showPage(const QString &html, const QUrl &base, bool ok)
{
    document()->setBaseUrl(base);
    setHtml(html);
    Q_EMIT pageShown(m_address, ok);
}

// The server has just given the page (or said it is unchanged): the copy in
// the cache is as good as now.
void HtmlView::noteSaved(const QUrl &url)
{
    if (!m_cache)
        return;
    QNetworkCacheMetaData page = m_cache->metaData(url);
    if (!page.isValid())
        return;
    QNetworkCacheMetaData::AttributesMap attributes = page.attributes();
    attributes.insert(savedAtAttribute, QDateTime::currentDateTimeUtc());
    page.setAttributes(attributes);
    m_cache->updateMetaData(page);
}

bool HtmlView::showSavedCopy(const QUrl &url)
{
    if (!m_cache)
        return false;
    const QNetworkCacheMetaData page = m_cache->metaData(url);
    const QDateTime saved = page.attributes().value(savedAtAttribute).toDateTime();
    const std::unique_ptr<QIODevice> data(m_cache->data(url));
    if (!saved.isValid() || !data)
        return false;
    const QString when = QLocale().toString(saved.toLocalTime(), QLocale::ShortFormat);
    const QString notice = QStringLiteral("<p><i>%1</i></p>")
                               .arg(tr("The server cannot be reached. This is a saved copy from %1.")
                                        .arg(when)
                                        .toHtmlEscaped());
    showPage(notice + decodeHtml(data->read(downloadCapBytes), contentTypeOf(page)), url, true);
    return true;
}

void HtmlView::showError(const QUrl &url, const QString &reason)
{
    const QString page = QStringLiteral("<h3>%1</h3><p>%2</p><p>%3</p>")
                             .arg(tr("This page cannot be shown.").toHtmlEscaped(),
                                  url.toDisplayString().toHtmlEscaped(), reason.toHtmlEscaped());
    document()->setBaseUrl(QUrl());
    setHtml(page);
    Q_EMIT pageShown(m_address, false);
}

// Whatever the page, local or not, only pictures from the network are
// fetched: nothing local is read on a page's say-so, and no style sheet is
// read at all. Every answer is a value, never a null one, as Qt falls back
// to reading a resource's name as a local file when it gets none.
QVariant HtmlView::loadResource(int type, const QUrl &name)
{
    if (type != QTextDocument::ImageResource)
        return QString();
    const QUrl url = document()->baseUrl().resolved(name);
    const bool remote = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!remote || m_images.contains(url) || m_failedImages.contains(url))
        return missingPicture();
    QNetworkRequest request(url);
    request.setTransferTimeout(pageTimeoutMs);
    QNetworkReply *reply = m_network.get(request);
    m_images.insert(url, reply);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { stopOversizedImage(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { stopOversizedImage(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onImageFinished(reply); });
    return missingPicture();
}

// An image over the cap is left out like one that cannot be loaded; the page stays.
void HtmlView::stopOversizedImage(QNetworkReply *reply)
{
    if (!exceeds(*reply, downloadCapBytes))
        return;
    const QUrl url = m_images.key(reply);
    m_images.remove(url);
    m_failedImages.insert(url);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void HtmlView::onImageFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const QUrl url = m_images.key(reply);
    m_images.remove(url);
    QImage image;
    if (reply->error() != QNetworkReply::NoError || !image.loadFromData(reply->readAll())) {
        m_failedImages.insert(url);
        return;
    }
    document()->addResource(QTextDocument::ImageResource, url, image);
    // Lay the page out once for every burst of images, not once per image.
    if (!m_relayoutQueued) {
        m_relayoutQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_relayoutQueued = false;
            document()->markContentsDirty(0, document()->characterCount());
        });
    }
}

bool HtmlView::isServerPage(const QUrl &url) const
{
    return m_serverOrigin.isValid() && url.scheme() == m_serverOrigin.scheme()
        && url.host() == m_serverOrigin.host() && url.port(80) == m_serverOrigin.port(80);
}

void HtmlView::openLink(const QUrl &link)
{
    if (link.hasFragment() && link.path().isEmpty() && link.host().isEmpty()) {
        scrollToAnchor(link.fragment());
        return;
    }
    const QUrl url = document()->baseUrl().resolved(link);
    if (isServerPage(url)) {
        openAddress(url);
        return;
    }
    // Any other scheme would hand the page's choice to whatever program the
    // desktop has for it (files, shares, custom handlers).
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("mailto"))
        QDesktopServices::openUrl(url);
}
