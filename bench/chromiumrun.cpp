#include "chromiumrun.h"

#include "benchsupport.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace bench {

namespace {

constexpr double sampleMs = 10;
constexpr double limitMs = 60000;

} // namespace

bool runChromium(const std::string &binary, const std::string &url, const std::string &expect,
                 bool withPss, BrowserRun *run, std::string *error)
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "bench-chromium-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        *error = "cannot make a profile folder";
        return false;
    }
    const fs::path profile = pattern;
    const fs::path dom = profile / "dom.html";
    const fs::path log = profile / "stderr.log";
    const std::vector<std::string> argv = {
        binary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + (profile / "data").string(), "--dump-dom", url,
    };

    const double started = nowMs();
    const pid_t pid = spawn(argv, {}, dom.string(), log.string());
    if (pid < 0) {
        *error = "cannot start " + binary;
        fs::remove_all(profile);
        return false;
    }
    TreeMemory peak;
    int code = -1;
    bool ended = false;
    for (double next = started; !ended;) {
        const TreeMemory now = treeMemory(pid, withPss);
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        peak.pssKb = std::max(peak.pssKb, now.pssKb);
        peak.processes = std::max(peak.processes, now.processes);
        next += sampleMs;
        ended = waitExit(pid, std::max(0.0, next - nowMs()), &code);
        if (!ended && nowMs() - started > limitMs) {
            killAndReap(pid);
            *error = "chromium did not finish within 60 s";
            fs::remove_all(profile);
            return false;
        }
    }
    const double endedAt = nowMs();
    const std::string page = readFile(dom.string());
    const bool loaded = code == 0 && page.find(expect) != std::string::npos;
    if (!loaded) {
        *error = "chromium exited with " + std::to_string(code) + " without the page; its output:\n"
            + readFile(log.string()).substr(0, 2000);
    }
    fs::remove_all(profile);
    if (!loaded)
        return false;
    run->wallMs = endedAt - started;
    run->peakKb = double(peak.rssKb);
    run->peakPssKb = double(peak.pssKb);
    run->processes = peak.processes;
    return true;
}

} // namespace bench
