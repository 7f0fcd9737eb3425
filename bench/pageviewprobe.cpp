#include "pageviewprobe.h"

#include "benchsupport.h"
#include "ui/widgets/htmlview.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <unistd.h>

namespace bench {

namespace {

// Counts the paints of the view's viewport: the first screen is done when
// one has run after the page arrived.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

struct Moments
{
    double navigated = -1, shown = -1, screen = -1, layout = -1;
};

} // namespace

int probePageView(int &argc, char **argv, ViewKind kind, const QString &url, int messages,
                  double spawnedAtMs)
{
    QApplication app(argc, argv);
    QTextBrowser *view = kind == ViewKind::Client ? new HtmlView : new QTextBrowser;
    view->setWindowTitle(QStringLiteral("Page view bench"));
    view->resize(665, 241); // the client's page view
    PaintCounter paints;
    view->viewport()->installEventFilter(&paints);
    view->show();
    for (const double limit = nowMs() + 5000; nowMs() < limit;) {
        if (view->windowHandle() && view->windowHandle()->isExposed() && paints.paints > 0)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QCoreApplication::processEvents();

    Moments at;
    bool ok = false;
    int paintsAtShown = 0;
    const auto pageArrived = [&](bool loaded) {
        at.shown = nowMs();
        paintsAtShown = paints.paints;
        view->viewport()->repaint(); // the first screen, laid out as far as it shows
        at.screen = nowMs();
        (void)view->document()->size(); // lays out the whole page
        at.layout = nowMs();
        ok = loaded;
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    };

    const long beforeKb = statusKb(getpid(), "VmRSS");
    QNetworkAccessManager network; // the bare browser's own fetch
    if (auto *client = qobject_cast<HtmlView *>(view)) {
        QObject::connect(client, &HtmlView::pageShown, &app,
                         [&](const QUrl &, bool loaded) { pageArrived(loaded); });
        at.navigated = nowMs();
        client->navigate(url);
    } else {
        at.navigated = nowMs();
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url)));
        QObject::connect(reply, &QNetworkReply::finished, &app, [&, reply] {
            view->document()->setBaseUrl(reply->url());
            view->setHtml(QString::fromUtf8(reply->readAll()));
            pageArrived(reply->error() == QNetworkReply::NoError);
            reply->deleteLater();
        });
    }
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    app.exec();

    const long peakKb = statusKb(getpid(), "VmHWM");
    const qsizetype titles = view->toPlainText().count(QStringLiteral("Title "));
    if (!ok || at.layout < 0 || titles != messages || paints.paints <= paintsAtShown) {
        std::fprintf(stderr, "page view: the page did not load whole (ok %d, %lld of %d messages, %d paints)\n",
                     int(ok), qlonglong(titles), messages, paints.paints - paintsAtShown);
        return 1;
    }
    std::printf("RESULT shown=%.3f screen=%.3f layout=%.3f fromstart=%.3f hwm=%ld before=%ld\n",
                at.shown - at.navigated, at.screen - at.navigated, at.layout - at.navigated,
                at.layout - spawnedAtMs, peakKb, beforeKb);
    delete view;
    return 0;
}

} // namespace bench
