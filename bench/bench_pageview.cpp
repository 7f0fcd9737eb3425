// The page view: a forum page of 100 messages (one server page) and one of
// 1,000, served over HTTP from 127.0.0.1 and loaded by the client's own
// HtmlView in a window: milliseconds from Navigate to the first screen and to
// the whole page laid out, and the process's peak memory. Every load runs in
// a fresh process (this program started again with --child) so that the
// figures of one page do not carry into the next. A bare QTextBrowser fed the
// same bytes is the floor; headless Chromium loading the 1,000-message page
// is the comparison a user would make.
//
//   xvfb-run -a -s "-screen 0 1024x768x24" bench_pageview [--runs 5]
//       [--chromium PATH|none] [--chromium-runs 5]

#include "benchsupport.h"
#include "chromiumrun.h"
#include "localhttp.h"
#include "pageviewprobe.h"
#include "server/pages/pages.h"

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace bench;

namespace {

// One message as the forum stores it: a title with its time stamp, a body
// with the usual formatting and a link.
QByteArray forumPage(const QString &forum, int messages, bool hasOlder)
{
    QList<PublishedMessage> list;
    for (int n = messages; n >= 1; --n) { // newest first
        list.append({QStringLiteral("<b>Title %1</b>  <i>(12/7/2026 3:04:05 PM)</i>").arg(n),
                     QStringLiteral("Body text of a few sentences with <b>bold</b>, <i>italic</i> and a "
                                    "<a href=\"http://example.org/\">link</a>.<br>\r\nSecond line.")});
    }
    return pages::forumPage(forum, list, 1, hasOlder);
}

struct Load
{
    double shown = 0, screen = 0, layout = 0, fromStart = 0, peakKb = 0, beforeKb = 0;
};

struct Loads
{
    std::vector<double> shown, screen, layout, fromStart, peakMb, pageMb;
};

class PageViewBench
{
public:
    PageViewBench()
        : m_out((std::filesystem::temp_directory_path() / ("bench-pageview-" + std::to_string(getpid()))).string())
    {
        if (!std::getenv("QT_QPA_PLATFORM"))
            m_env.push_back(std::getenv("DISPLAY") ? "QT_QPA_PLATFORM=xcb" : "QT_QPA_PLATFORM=offscreen");
    }
    ~PageViewBench()
    {
        std::filesystem::remove(m_out + ".out");
        std::filesystem::remove(m_out + ".err");
    }

    std::string platform() const
    {
        const char *set = std::getenv("QT_QPA_PLATFORM");
        return set ? set : m_env.front().substr(std::strlen("QT_QPA_PLATFORM="));
    }

    // The client's view and the bare browser take turns, so that other load
    // on the machine falls on both alike.
    bool measure(const std::string &url, int messages, int runs, Loads *client, Loads *bare)
    {
        for (int i = 0; i < runs; ++i) {
            for (Loads *loads : {client, bare}) {
                Load load;
                if (!loadOnce(loads == client ? "client" : "bare", url, messages, &load))
                    return false;
                loads->shown.push_back(load.shown);
                loads->screen.push_back(load.screen);
                loads->layout.push_back(load.layout);
                loads->fromStart.push_back(load.fromStart);
                loads->peakMb.push_back(kbToMb(load.peakKb));
                loads->pageMb.push_back(kbToMb(load.peakKb - load.beforeKb));
            }
        }
        return true;
    }

private:
    bool loadOnce(const char *kind, const std::string &url, int messages, Load *load)
    {
        char started[32];
        std::snprintf(started, sizeof started, "%.3f", nowMs());
        const pid_t pid = spawn({m_self, "--child", kind, "--url", url, "--messages",
                                 std::to_string(messages), "--spawned-at", started},
                                m_env, m_out + ".out", m_out + ".err");
        int code = -1;
        if (pid < 0 || !waitExit(pid, 90000, &code) || code != 0) {
            if (pid > 0 && code == -1)
                killAndReap(pid);
            std::fprintf(stderr, "bench_pageview: the %s load of %s failed (exit %d):\n%s\n", kind,
                         url.c_str(), code, readFile(m_out + ".err").c_str());
            return false;
        }
        const std::string out = readFile(m_out + ".out");
        const size_t at = out.find("RESULT ");
        return at != std::string::npos
            && std::sscanf(out.c_str() + at,
                           "RESULT shown=%lf screen=%lf layout=%lf fromstart=%lf hwm=%lf before=%lf",
                           &load->shown, &load->screen, &load->layout, &load->fromStart,
                           &load->peakKb, &load->beforeKb) == 6;
    }

    const std::string m_self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string m_out;
    std::vector<std::string> m_env;
};

int runChild(int &argc, char **argv)
{
    ViewKind kind = ViewKind::Client;
    QString url;
    int messages = 0;
    double spawnedAt = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--child"))
            kind = std::strcmp(argv[++i], "bare") ? ViewKind::Client : ViewKind::BareBrowser;
        else if (!std::strcmp(argv[i], "--url"))
            url = QString::fromUtf8(argv[++i]);
        else if (!std::strcmp(argv[i], "--messages"))
            messages = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--spawned-at"))
            spawnedAt = std::atof(argv[++i]);
    }
    return probePageView(argc, argv, kind, url, messages, spawnedAt);
}

void compare(const char *what, double client, double browser, const char *unit)
{
    std::printf("  ratio tavernly / chromium, %-32s %8.1f / %.1f %s = %.2f\n", what, client, browser,
                unit, browser > 0 ? client / browser : 0.0);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && !std::strcmp(argv[1], "--child"))
        return runChild(argc, argv);

    int runs = 5;
    int browserRuns = 5;
    std::string chromium = findInPath("chromium");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--chromium-runs" && i + 1 < argc)
            browserRuns = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--chromium" && i + 1 < argc)
            chromium = std::string(argv[++i]) == "none" ? std::string() : argv[i];
        else {
            std::printf("usage: %s [--runs N] [--chromium PATH|none] [--chromium-runs N]\n", argv[0]);
            return arg == "--help" ? 0 : 2;
        }
    }

    LocalHttpServer server;
    const QByteArray page100 = forumPage(QStringLiteral("Hundred"), 100, true);
    const QByteArray page1000 = forumPage(QStringLiteral("Thousand"), 1000, false);
    server.addPage("/tav/Hundred.htm", page100.toStdString());
    server.addPage("/tav/Thousand.htm", page1000.toStdString());
    std::string error;
    if (!server.listen(0, &error)) {
        std::fprintf(stderr, "bench_pageview: cannot listen on 127.0.0.1: %s\n", error.c_str());
        return 1;
    }
    server.start();
    PageViewBench bench;
    std::printf("Page view: the client's HtmlView (665x241, as in the window), pages over HTTP from %s; "
                "QT_QPA_PLATFORM=%s; %d fresh processes per figure\n",
                server.url("/").c_str(), bench.platform().c_str(), runs);

    struct Size
    {
        int messages;
        const QByteArray *html;
        const char *path;
        double timeTarget, memoryTarget;
    };
    const Size sizes[] = {{100, &page100, "/tav/Hundred.htm", 80, 0},
                          {1000, &page1000, "/tav/Thousand.htm", 450, 80}};
    Loads client1000;
    for (const Size &size : sizes) {
        std::printf(" %s messages (%lld kB of HTML):\n", size.messages == 1000 ? "1,000" : "100",
                    qlonglong(size.html->size() / 1000));
        Loads client, bare;
        const std::string url = server.url(size.path);
        if (!bench.measure(url, size.messages, runs, &client, &bare))
            return 1;
        printFigure("Navigate to page text set (fetch, parse)", summarize(client.shown), "ms");
        printFigure("Navigate to first screen painted", summarize(client.screen), "ms", size.timeTarget);
        printFigure("Navigate to full layout", summarize(client.layout), "ms", size.timeTarget);
        printFigure("process start to full layout", summarize(client.fromStart), "ms");
        printFigure("peak memory of the process (VmHWM)", summarize(client.peakMb), "MB", size.memoryTarget);
        printFigure("of it added by the page (VmHWM - RSS before)", summarize(client.pageMb), "MB");
        printFigure("floor, bare QTextBrowser: full layout", summarize(bare.layout), "ms");
        printFigure("floor, bare QTextBrowser: peak memory", summarize(bare.peakMb), "MB");
        if (size.messages == 1000)
            client1000 = client;
    }

    if (chromium.empty()) {
        std::printf("Side by side: chromium is not installed (make bench installs it): skipped\n");
        return 0;
    }
    const std::string url = server.url("/tav/Thousand.htm");
    std::printf("Side by side, the 1,000-message page: %s --headless --no-sandbox --disable-gpu ... "
                "--dump-dom %s; %d runs (PSS: 2 more), each with a fresh profile\n", chromium.c_str(), url.c_str(), browserRuns);
    std::vector<double> wall, peak, peakPss;
    int processes = 0;
    // Time and RSS from runs sampling RSS only, PSS from two more runs.
    for (int i = 0; i < browserRuns + 2; ++i) {
        const bool withPss = i >= browserRuns;
        BrowserRun run;
        if (!runChromium(chromium, url, "Title 1000</b>", withPss, &run, &error)) {
            std::fprintf(stderr, "bench_pageview: %s\n", error.c_str());
            return 1;
        }
        if (withPss) {
            peakPss.push_back(kbToMb(run.peakPssKb));
            continue;
        }
        wall.push_back(run.wallMs);
        peak.push_back(kbToMb(run.peakKb));
        processes = std::max(processes, run.processes);
    }
    const Figures browserTime = summarize(wall);
    const Figures browserMemory = summarize(peak);
    const Figures browserPss = summarize(peakPss);
    printFigure("chromium: process start to exit (page loaded)", browserTime, "ms");
    printFigure("chromium: peak summed RSS of its processes", browserMemory, "MB");
    printFigure("chromium: peak summed PSS (shared pages once)", browserPss, "MB");
    std::printf("  (up to %d chromium processes at once)\n", processes);
    compare("time (Navigate to full layout)", summarize(client1000.layout).median, browserTime.median, "ms");
    compare("time (process start to layout)", summarize(client1000.fromStart).median, browserTime.median, "ms");
    const double clientPeak = summarize(client1000.peakMb).median;
    compare("memory (VmHWM / summed RSS)", clientPeak, browserMemory.median, "MB");
    compare("memory (VmHWM / summed PSS)", clientPeak, browserPss.median, "MB");
    return 0;
}
