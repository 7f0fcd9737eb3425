#pragma once
// What the benchmarks share: a monotonic clock, figures over several runs,
// readings from /proc, starting a program, and printing a figure next to its
// target. Plain C++ so that a benchmark measuring another process adds no
// toolkit of its own to the machine's load.

#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// Milliseconds on CLOCK_MONOTONIC: the same clock in every process.
double nowMs();
void sleepMs(double ms);

struct Figures
{
    double median = 0;
    double min = 0;
    double max = 0;
    int count = 0;
};
Figures summarize(std::vector<double> values);

// A "kB" field of /proc/<pid>/status ("VmHWM", "VmRSS"); -1 when unreadable.
long statusKb(pid_t pid, const char *field);
// The summed resident memory of a process and all of its descendants, in
// kB: VmRSS (pages shared between them counted in each) and Pss (shared
// pages split between their sharers, so each page counts once).
struct TreeMemory
{
    long rssKb = 0;
    long pssKb = 0;
    int processes = 0;
};
// Reading Pss walks each process's page tables under its memory lock, which
// slows the processes measured: only with withPss.
TreeMemory treeMemory(pid_t root, bool withPss);
// Decimal megabytes from the kernel's kB (KiB).
double kbToMb(double kb);

// Starts a program (argv[0] is its path or a name looked up in PATH) with
// extra "NAME=value" environment entries. Its standard output and error go
// to the given files, or stay the bench's own when a path is empty.
// Returns the pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv,
            const std::string &outPath = {}, const std::string &errPath = {});
// Kills a started program and waits for it.
void killAndReap(pid_t pid);
// Waits up to timeoutMs for a started program to end; true if it did (exit code in *code).
bool waitExit(pid_t pid, double timeoutMs, int *code = nullptr);

// Finds a program in PATH; empty when there is none.
std::string findInPath(const std::string &name);
std::string readFile(const std::string &path);

// "  name   median 61.2  (min 58.1, max 70.3, 7 runs)  target < 80: met"
// A target of 0 or less prints no target.
void printFigure(const std::string &name, const Figures &figures, const char *unit,
                 double target = 0);

} // namespace bench
