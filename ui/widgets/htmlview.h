#pragma once
// An HTML view that fetches its pages with Qt Network.
//
// navigate() takes "about:blank" (empties the view), an http(s) address, or a
// local file path. Pages and their images load asynchronously, with the busy
// pointer over the view while a page loads; a newer navigate() cancels
// whatever an older one still loads. A page that cannot be loaded, or is
// larger than the download cap, shows a short error page in the view. A page,
// local or not, gets pictures over http(s) only: it never makes the view read
// a local file or device, and no style sheet is read. Links to the forum
// server open in the view; other web and mail links go to the desktop, links
// of any other scheme do nothing. No script ever runs.

#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QPointer>
#include <QSet>
#include <QTextBrowser>
#include <QUrl>

#include <QNetworkReply>

class HtmlView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit HtmlView(QWidget *parent = nullptr);

    void navigate(const QString &address);

    // Keeps pages in a disk cache in folder, bounded in size: an unchanged page
    // is revalidated rather than fetched again, and a page seen before is shown
    // as a saved copy, with a line that says so, while its server is out of reach.
    void setCacheFolder(const QString &folder);

    // Links to this scheme, host and port stay in the view.
    void setServerOrigin(const QUrl &origin) { m_serverOrigin = origin; }
    QUrl address() const { return m_address; }
    bool isLoading() const { return m_page != nullptr; }

Q_SIGNALS:
    // The page's text is shown (or the error page, ok false). Images may follow.
    void pageShown(const QUrl &address, bool ok);
    // The server has given the page at address (not a saved copy): its
    // validator, if any, and its bytes.
    void pageFetched(const QUrl &address, const QByteArray &etag, const QByteArray &body);

protected:
    QVariant loadResource(int type, const QUrl &name) override;

private:
    void openAddress(const QUrl &url);
    void cancelLoads();
    void onPageFinished();
    void stopOversizedPage();
    void stopOversizedImage(QNetworkReply *reply);
    void onImageFinished(QNetworkReply *reply);
    void showPage(const QString &html, const QUrl &base, bool ok);
    void showError(const QUrl &url, const QString &reason);
    bool showSavedCopy(const QUrl &url);
    void noteSaved(const QUrl &url);
    void openLink(const QUrl &link);
    bool isServerPage(const QUrl &url) const;

    QNetworkAccessManager m_network;
    QNetworkDiskCache *m_cache = nullptr;
    QPointer<QNetworkReply> m_page;
    QHash<QUrl, QNetworkReply *> m_images;
    QSet<QUrl> m_failedImages;
    QUrl m_address;
    QUrl m_serverOrigin;
    static constexpr int pageTimeoutMs = 30000; // a page that never arrives gives up then
    // A page or image beyond this is not loaded: it would only fill the memory.
    static constexpr qint64 downloadCapBytes = 16 * 1024 * 1024;
    static constexpr qint64 cacheCapBytes = 32 * 1024 * 1024;
    bool m_relayoutQueued = false;
};
