#pragma once
// Fetches the page view's pages and their pictures with Qt Network, keeps
// them in a disk cache when given a folder, and stands a saved copy in for a
// page whose server is out of reach. Lives on the user-interface thread.
//
// One page at a time: a newer load() cancels whatever an older one still
// fetches, pictures included. Nothing beyond the download cap is kept; a
// local file is read only when asked for by load(), never for a picture.

#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

class QNetworkDiskCache;

class PageLoader : public QObject
{
    Q_OBJECT
public:
    explicit PageLoader(QObject *parent = nullptr);

    // Keeps pages in a disk cache in folder, bounded in size: an unchanged page
    // is revalidated rather than fetched again, and a page seen before is shown
    // as a saved copy, with a line that says so, while its server is out of reach.
    void setCacheFolder(const QString &folder);

    // Loads an http(s) address or a local file; ends in page() or failed().
    void load(const QUrl &url);
    void cancel();
    bool isLoading() const { return m_page != nullptr; }
    // Fetches a picture of the page over http(s), once; ends in picture() if it comes.
    void fetchPicture(const QUrl &url);

    static constexpr qint64 downloadCapBytes = 16 * 1024 * 1024;

Q_SIGNALS:
    void loadingChanged(bool loading);
    // The page's text (a saved copy's with its notice), its base address, and
    // whether it is what was asked for (false for an error status's own page).
    void page(const QString &html, const QUrl &base, bool ok);
    // The server has given the page at url (not a saved copy): its validator and bytes.
    void fetched(const QUrl &url, const QByteArray &etag, const QByteArray &body);
    void failed(const QUrl &url, const QString &reason);
    void picture(const QUrl &url, const QImage &image);

private:
    void onPageFinished();
    void stopOversizedPage();
    void stopOversizedPicture(QNetworkReply *reply);
    void onPictureFinished(QNetworkReply *reply);
    bool showSavedCopy(const QUrl &url);
    void noteSaved(const QUrl &url);
    void endPage();

    QNetworkAccessManager m_network;
    QNetworkDiskCache *m_cache = nullptr;
    QPointer<QNetworkReply> m_page;
    QHash<QUrl, QNetworkReply *> m_pictures;
    QSet<QUrl> m_failedPictures;
    static constexpr int timeoutMs = 30000; // a page that never arrives gives up then
    static constexpr qint64 cacheCapBytes = 32 * 1024 * 1024;
};
