#pragma once
// An HTML view of pages from the network or a file, with find and zoom.
//
// navigate() takes "about:blank" (empties the view), an http(s) address, or a
// local file path. PageLoader fetches pages and their pictures (with the busy
// pointer over the view while a page loads; a newer navigate() cancels an
// older one); a page that cannot be loaded shows a short error page in the
// view. A page gets pictures over http(s) only: it never makes the view read
// a local file or device, and no style sheet is read. Where links go is
// linkTarget()'s to say. No script ever runs.
//
// Ctrl+F opens the find bar; Alt+Left goes back; Ctrl with plus (or =), minus
// or 0 anywhere in the view's window, or Ctrl with the wheel over it, zooms,
// and the size stays for every page shown afterwards.

#include <QTextBrowser>
#include <QUrl>

#include <optional>

class FindBar;
class PageLoader;

class HtmlView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit HtmlView(QWidget *parent = nullptr);

    void navigate(const QString &address);
    // Loads the page shown again, over it, and keeps the reading position.
    void reload();

    // See PageLoader::setCacheFolder.
    void setCacheFolder(const QString &folder);

    // Links to this scheme, host and port stay in the view.
    void setServerOrigin(const QUrl &origin) { m_serverOrigin = origin; }
    QUrl serverOrigin() const { return m_serverOrigin; }
    QUrl address() const { return m_address; }
    bool isLoading() const;

    // Steps of zoom from the font's own size: each is a tenth larger or smaller.
    static constexpr int minZoom = -5;
    static constexpr int maxZoom = 10;
    int zoom() const { return m_zoom; }
    void setZoom(int steps);

    FindBar *findBar() const { return m_findBar; }

    // Alt+Left: the page shown before this one, as a browser's back.
    void goBack();

Q_SIGNALS:
    // The page's text is shown (or the error page, ok false). Images may follow.
    void pageShown(const QUrl &address, bool ok);
    // The server has given the page at address (not a saved copy): its
    // validator, if any, and its bytes.
    void pageFetched(const QUrl &address, const QByteArray &etag, const QByteArray &body);
    void zoomChanged(int steps);
    // No answer came for the page at address: the error page is shown.
    void loadFailed(const QUrl &address);

protected:
    QVariant loadResource(int type, const QUrl &name) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void openAddress(const QUrl &url);
    void remember(const QUrl &next); // the page shown now, for goBack()
    void showPage(const QString &html, const QUrl &base, bool ok);
    void showError(const QUrl &url, const QString &reason);
    void showPicture(const QUrl &url, const QImage &image);
    void openLink(const QUrl &link);
    void placeFindBar();

    PageLoader *m_loader;
    FindBar *m_findBar;
    QUrl m_address;
    QUrl m_serverOrigin;
    qreal m_basePointSize = 0; // the font's size at zoom 0, taken at the first zoom
    int m_zoom = 0;
    bool m_relayoutQueued = false;
    std::optional<QPoint> m_keptScroll; // where a page loaded again is to be shown
    QList<QUrl> m_back; // the pages shown before, the latest last
};
