#include "ui/widgets/pageloader.h"

#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QNetworkDiskCache>
#include <QStringDecoder>

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

void drop(QNetworkReply *reply, QObject *receiver)
{
    reply->disconnect(receiver);
    reply->abort();
    reply->deleteLater();
}

} // namespace

PageLoader::PageLoader(QObject *parent)
    : QObject(parent)
{
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

void PageLoader::setCacheFolder(const QString &folder)
{
    m_cache = new QNetworkDiskCache(this);
    m_cache->setCacheDirectory(folder);
    m_cache->setMaximumCacheSize(cacheCapBytes);
    m_network.setCache(m_cache); // the manager takes it over
}

void PageLoader::cancel()
{
    if (m_page) {
        QNetworkReply *page = m_page;
        m_page = nullptr;
        drop(page, this);
        Q_EMIT loadingChanged(false);
    }
    for (QNetworkReply *picture : std::as_const(m_pictures))
        drop(picture, this);
    m_pictures.clear();
    m_failedPictures.clear();
}

void PageLoader::load(const QUrl &url)
{
    cancel();
    if (url.isLocalFile()) {
        QFile file(url.toLocalFile());
        if (!file.open(QIODevice::ReadOnly)) {
            Q_EMIT failed(url, file.errorString());
            return;
        }
        // A device says it is empty and never ends: what is read is what counts.
        const QByteArray page = file.read(downloadCapBytes + 1);
        if (page.size() > downloadCapBytes) {
            Q_EMIT failed(url, tr("The page is larger than 16 MiB."));
            return;
        }
        Q_EMIT this->page(decodeHtml(page, QByteArray()), url, true);
        return;
    }
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) {
        Q_EMIT failed(url, tr("This kind of address cannot be shown here."));
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    m_page = m_network.get(request);
    Q_EMIT loadingChanged(true);
    connect(m_page, &QNetworkReply::metaDataChanged, this, &PageLoader::stopOversizedPage);
    connect(m_page, &QNetworkReply::readyRead, this, &PageLoader::stopOversizedPage);
    connect(m_page, &QNetworkReply::finished, this, &PageLoader::onPageFinished);
}

void PageLoader::endPage()
{
    m_page = nullptr;
    Q_EMIT loadingChanged(false);
}

// Stops as soon as the declared length or the data so far is over the cap.
void PageLoader::stopOversizedPage()
{
    QNetworkReply *reply = m_page;
    if (!reply || !exceeds(*reply, downloadCapBytes))
        return;
    endPage();
    drop(reply, this);
    Q_EMIT failed(reply->url(), tr("The page is larger than 16 MiB."));
}

void PageLoader::onPageFinished()
{
    QNetworkReply *reply = m_page;
    if (!reply)
        return;
    endPage();
    reply->deleteLater();

    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const QByteArray body = reply->readAll();
    if (!answered && showSavedCopy(reply->url()))
        return;
    if (reply->error() != QNetworkReply::NoError && (!answered || body.isEmpty())) {
        Q_EMIT failed(reply->url(), reply->errorString());
        return;
    }
    const bool ok = reply->error() == QNetworkReply::NoError;
    if (ok)
        noteSaved(reply->url());
    Q_EMIT page(decodeHtml(body, reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()), reply->url(), ok);
    if (ok)
        Q_EMIT fetched(reply->request().url(), reply->rawHeader("ETag"), body);
}

// The server has just given the page (or said it is unchanged): the copy in
// the cache is as good as now.
void PageLoader::noteSaved(const QUrl &url)
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

bool PageLoader::showSavedCopy(const QUrl &url)
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
    Q_EMIT this->page(notice + decodeHtml(data->read(downloadCapBytes), contentTypeOf(page)), url, true);
    return true;
}

void PageLoader::fetchPicture(const QUrl &url)
{
    const bool remote = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!remote || m_pictures.contains(url) || m_failedPictures.contains(url))
        return;
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = m_network.get(request);
    m_pictures.insert(url, reply);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { stopOversizedPicture(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { stopOversizedPicture(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onPictureFinished(reply); });
}

// A picture over the cap is left out like one that cannot be loaded; the page stays.
void PageLoader::stopOversizedPicture(QNetworkReply *reply)
{
    if (!exceeds(*reply, downloadCapBytes))
        return;
    const QUrl url = m_pictures.key(reply);
    m_pictures.remove(url);
    m_failedPictures.insert(url);
    drop(reply, this);
}

void PageLoader::onPictureFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const QUrl url = m_pictures.key(reply);
    m_pictures.remove(url);
    QImage image;
    if (reply->error() != QNetworkReply::NoError || !image.loadFromData(reply->readAll())) {
        m_failedPictures.insert(url);
        return;
    }
    Q_EMIT picture(url, image);
}
