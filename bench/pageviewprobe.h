#pragma once
// One page load in a page view, in a process of its own: shows the view in a
// window the size of the client's, loads the address and prints one line
//   RESULT shown=<ms> screen=<ms> layout=<ms> fromstart=<ms> hwm=<kB> before=<kB>
// all times from Navigate except fromstart (from the process's start, given by
// the parent on the monotonic clock). Returns the process's exit code.

class QString;

namespace bench {

enum class ViewKind { Client, BareBrowser };

int probePageView(int &argc, char **argv, ViewKind kind, const QString &url, int messages,
                  double spawnedAtMs);

} // namespace bench
