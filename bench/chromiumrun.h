#pragma once
// One load of a page by headless Chromium: its wall time from process start
// to exit (--dump-dom exits once the page has loaded), and the peaks of the
// summed resident memory of its process tree (RSS and PSS), sampled every 10 ms.

#include <string>

namespace bench {

struct BrowserRun
{
    double wallMs = -1;
    double peakKb = -1;    // summed VmRSS
    double peakPssKb = -1; // summed Pss
    int processes = 0;     // the most seen at once
};

// expect: text the dumped page must hold, so that a failed load does not pass
// as a fast one. withPss also samples PSS, which slows the browser down: its
// time is then not a fair figure.
bool runChromium(const std::string &binary, const std::string &url, const std::string &expect,
                 bool withPss, BrowserRun *run, std::string *error);

} // namespace bench
