#include "benchsupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

void sleepMs(double ms)
{
    if (ms <= 0)
        return;
    timespec ts{};
    ts.tv_sec = time_t(ms / 1e3);
    ts.tv_nsec = long((ms - double(ts.tv_sec) * 1e3) * 1e6);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

Figures summarize(std::vector<double> values)
{
    Figures figures;
    figures.count = int(values.size());
    if (values.empty())
        return figures;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    figures.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    figures.min = values.front();
    figures.max = values.back();
    return figures;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

long statusKb(pid_t pid, const char *field)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string("\n") + field + ":";
    const size_t at = status.find(key);
    if (at == std::string::npos)
        return -1;
    return std::strtol(status.c_str() + at + key.size(), nullptr, 10);
}

double kbToMb(double kb)
{
    return kb * 1024.0 / 1e6;
}

namespace {

// The parent of every process, from /proc/<pid>/stat (the command name in
// parentheses may hold spaces, so the fields are read after the last ')').
std::multimap<pid_t, pid_t> childrenByParent()
{
    std::multimap<pid_t, pid_t> children;
    DIR *proc = opendir("/proc");
    if (!proc)
        return children;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        const std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size())
            continue;
        // ") S <ppid> ..."
        const long parent = std::strtol(stat.c_str() + close + 4, nullptr, 10);
        children.emplace(pid_t(parent), pid_t(pid));
    }
    closedir(proc);
    return children;
}

} // namespace

TreeMemory treeMemory(pid_t root, bool withPss)
{
    const auto children = childrenByParent();
    std::vector<pid_t> pending{root};
    TreeMemory total;
    while (!pending.empty()) {
        const pid_t pid = pending.back();
        pending.pop_back();
        if (const long rss = statusKb(pid, "VmRSS"); rss > 0) {
            total.rssKb += rss;
            ++total.processes;
        }
        if (withPss) {
            const std::string rollup = readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
            if (const size_t at = rollup.find("\nPss:"); at != std::string::npos)
                total.pssKb += std::strtol(rollup.c_str() + at + 5, nullptr, 10);
        }
        const auto [first, last] = children.equal_range(pid);
        for (auto it = first; it != last; ++it)
            pending.push_back(it->second);
    }
    return total;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv,
            const std::string &outPath, const std::string &errPath)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry) {
        const std::string item(*entry);
        const std::string name = item.substr(0, item.find('=') + 1);
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string &e) {
            return e.compare(0, name.size(), name) == 0;
        });
        if (!replaced)
            env.push_back(item);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());

    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &item : env)
        envp.push_back(const_cast<char *>(item.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!errPath.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(failed));
        return -1;
    }
    return pid;
}

void killAndReap(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool waitExit(pid_t pid, double timeoutMs, int *code)
{
    const double deadline = nowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (code)
                *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (done < 0 && errno != EINTR)
            return false;
        if (nowMs() > deadline)
            return false;
        sleepMs(2);
    }
}

std::string findInPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

void printFigure(const std::string &name, const Figures &figures, const char *unit, double target)
{
    std::printf("  %-44s %9.1f %-3s (min %.1f, max %.1f, %d runs)", name.c_str(), figures.median,
                unit, figures.min, figures.max, figures.count);
    if (target > 0)
        std::printf("  target < %g %s: %s", target, unit,
                    figures.count > 0 && figures.median < target ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace bench
