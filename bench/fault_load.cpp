// One server on PostgreSQL through three database faults, each under load:
// 20 senders posting without pause, and a prober asking the list port and
// the start page every 50 ms.
//
//   scripts/pg-throwaway.sh run bench_fault_load [--server PATH] [--senders 20]
//
// The faults: every PostgreSQL process stopped (SIGSTOP) for 8 s; PostgreSQL
// stopped at once and started again 2 s later; a session holding an exclusive
// lock on the forums table for 6 s. Per fault it fails unless every post the
// server took in (it closed the sender's connection in good order) is stored,
// the list port and the start page answered during the fault (a reply, or 503
// for the page) with p99 under 0.5 s and worst under 1 s, and posts were taken
// in again within 3 s after it.

#include "plainsender.h"
#include "serverprocess.h"
#include "server/store/databaseurl.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>

namespace {

double nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Connect, send, end the sending half, read until the server closes, all
// within `limitMs`. Taken: the server closed in good order.
struct Exchange
{
    bool taken = false;
    QByteArray reply;
};

Exchange exchange(quint16 port, const QByteArray &request, int limitMs)
{
    Exchange result;
    result.reply = kit::exchange(port, request, &result.taken, limitMs);
    return result;
}

struct Probe
{
    double at = 0; // when it was asked
    double ms = 0; // how long the answer took; the limit when none came
    bool answered = false;
};

class Figures
{
public:
    void add(const Probe &probe)
    {
        std::lock_guard lock(m_mutex);
        m_probes.push_back(probe);
    }
    // Of those that were under way at some moment in [from, to]: the p99 and
    // worst time, and how many went unanswered.
    struct Summary
    {
        size_t count = 0;
        size_t unanswered = 0;
        double p99 = 0, worst = 0;
    };
    Summary during(double from, double to)
    {
        std::lock_guard lock(m_mutex);
        std::vector<double> ms;
        Summary s;
        for (const Probe &p : m_probes) {
            if (p.at > to || p.at + p.ms < from)
                continue;
            ms.push_back(p.ms);
            s.unanswered += p.answered ? 0 : 1;
        }
        std::sort(ms.begin(), ms.end());
        s.count = ms.size();
        if (!ms.empty()) {
            s.p99 = ms[size_t(0.99 * double(ms.size() - 1))];
            s.worst = ms.back();
        }
        return s;
    }

private:
    std::mutex m_mutex;
    std::vector<Probe> m_probes;
};

// Everything running against one server while a fault comes and goes.
class Load
{
public:
    Load(const ServicePorts &ports, const QByteArray &forum, int senders) : m_ports(ports)
    {
        for (int s = 0; s < senders; ++s)
            m_threads.emplace_back([this, s, forum] { send(s, forum); });
        m_threads.emplace_back([this] {
            probe(m_lists, [this] {
                return exchange(m_ports.list, "GETLIST", probeLimitMs).reply.startsWith("Welcome");
            });
        });
        m_threads.emplace_back([this] {
            probe(m_pages, [this] {
                const QByteArray answer =
                    exchange(m_ports.http, "GET /dn.htm HTTP/1.1\r\nHost: bench\r\n"
                                           "Connection: close\r\n\r\n", probeLimitMs).reply;
                return answer.startsWith("HTTP/1.1 200") || answer.startsWith("HTTP/1.1 503");
            });
        });
    }
    ~Load() { stop(); }

    void stop()
    {
        m_stop = true;
        for (std::thread &t : m_threads)
            if (t.joinable())
                t.join();
    }

    Figures &lists() { return m_lists; }
    Figures &pages() { return m_pages; }
    // Bodies of the posts the server took in, and when each was taken.
    QSet<QByteArray> taken()
    {
        std::lock_guard lock(m_mutex);
        return m_taken;
    }
    double firstTakenAfter(double at)
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::lower_bound(m_takenAt.begin(), m_takenAt.end(), at);
        return it == m_takenAt.end() ? -1 : *it;
    }
    void sortTimes()
    {
        std::lock_guard lock(m_mutex);
        std::sort(m_takenAt.begin(), m_takenAt.end());
    }

    static constexpr int probeLimitMs = 5000;

private:
    void send(int sender, const QByteArray &forum)
    {
        for (int n = 0; !m_stop; ++n) {
            const QByteArray body = "s" + QByteArray::number(sender) + "-" + QByteArray::number(n);
            if (exchange(m_ports.post, forum + "*<b>Fault</b>*" + body, 15000).taken) {
                std::lock_guard lock(m_mutex);
                m_taken.insert(body);
                m_takenAt.push_back(nowMs());
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20)); // refused: try again
            }
        }
    }

    void probe(Figures &figures, const std::function<bool()> &ask)
    {
        while (!m_stop) {
            const double at = nowMs();
            const bool answered = ask();
            figures.add({at, nowMs() - at, answered});
            const double next = at + 50 - nowMs();
            if (next > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(qint64(next * 1000)));
        }
    }

    ServicePorts m_ports;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
    Figures m_lists, m_pages;
    std::mutex m_mutex;
    QSet<QByteArray> m_taken;
    std::vector<double> m_takenAt;
};

bool cluster(const QString &what)
{
    const int code = QProcess::execute(QStringLiteral(TAVERNLY_SOURCE_DIR "/scripts/pg-throwaway.sh"),
                                       {what, qEnvironmentVariable("TAVERNLY_TEST_PGDIR")});
    if (code != 0)
        std::fprintf(stderr, "pg-throwaway.sh %s failed (%d)\n", qPrintable(what), code);
    return code == 0;
}

void pause(int ms)
{
    QThread::msleep(ulong(ms));
}

// Bodies stored in a forum, read straight from the database.
QSet<QByteArray> storedBodies(const DatabaseUrl &url, const QByteArray &forum, bool *ok)
{
    QSet<QByteArray> bodies;
    QString error;
    const QString name = QStringLiteral("bench-check");
    *ok = url.open(name, &error);
    if (*ok) {
        QSqlQuery query(QSqlDatabase::database(name, false));
        query.prepare(QStringLiteral("SELECT m.body FROM messages m JOIN forums f ON f.id = m.forum "
                                     "WHERE f.name = ?"));
        query.addBindValue(QString::fromUtf8(forum));
        *ok = query.exec();
        while (query.next())
            bodies.insert(query.value(0).toByteArray());
    }
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
    return bodies;
}

struct Fault
{
    const char *name;
    QByteArray forum;
    std::function<bool(double *from, double *to)> run; // the window it lasted
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"server", "The server program (default: this build's).", "PATH",
                        TAVERNLY_SERVER_BINARY},
                       {"senders", "Senders posting without pause (default 20).", "N", "20"}});
    parser.process(app);
    const int senders = parser.value("senders").toInt();
    QString error;
    const QString address = qEnvironmentVariable("TAVERNLY_TEST_DATABASE");
    const std::optional<DatabaseUrl> database = DatabaseUrl::parse(address, &error);
    if (!database || database->engine != DatabaseUrl::Engine::PostgreSQL
        || qEnvironmentVariableIsEmpty("TAVERNLY_TEST_PGDIR")) {
        std::printf("(no PostgreSQL: run through scripts/pg-throwaway.sh run)\n");
        return address == QLatin1StringView("none") ? 0 : 1;
    }
    std::printf("server %s, %d senders; the list port and the start page asked every 50 ms\n",
                qPrintable(parser.value("server")), senders);

    const Fault faults[] = {
        {"every PostgreSQL process stopped for 8 s", "Stall",
         [](double *from, double *to) {
             *from = nowMs();
             if (!cluster("freeze"))
                 return false;
             pause(8000);
             *to = nowMs();
             return cluster("thaw");
         }},
        {"PostgreSQL stopped at once, started 2 s later", "Restart",
         [](double *from, double *to) {
             *from = nowMs();
             if (!cluster("halt"))
                 return false;
             pause(2000);
             const bool started = cluster("resume");
             *to = nowMs();
             return started;
         }},
        {"a session holds an exclusive lock on the forums table for 6 s", "Lock",
         [&database](double *from, double *to) {
             const QString name = QStringLiteral("bench-lock");
             QString why;
             if (!database->open(name, &why)) {
                 std::fprintf(stderr, "%s\n", qPrintable(why));
                 return false;
             }
             bool ok = false;
             {
                 QSqlDatabase db = QSqlDatabase::database(name, false);
                 QSqlQuery query(db);
                 *from = nowMs();
                 ok = db.transaction()
                     && query.exec(QStringLiteral("LOCK TABLE forums IN ACCESS EXCLUSIVE MODE"));
                 pause(6000);
                 *to = nowMs();
                 ok = db.commit() && ok;
                 if (!ok)
                     std::fprintf(stderr, "lock: %s\n", qPrintable(query.lastError().text()));
                 db.close();
             }
             QSqlDatabase::removeDatabase(name);
             return ok;
         }},
    };

    bool failed = false;
    for (const Fault &fault : faults) {
        ServerProcess server;
        if (!server.start(parser.value("server"),
                          {"--database", address, "--create-limit", "0", "--post-limit", "0"},
                          &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const ServicePorts ports = server.ports();
        if (exchange(ports.create, fault.forum, 5000).reply != "CREATED") {
            std::fprintf(stderr, "could not create %s\n", fault.forum.constData());
            return 1;
        }
        Load load(ports, fault.forum, senders);
        pause(2000);
        double from = 0, to = 0;
        const bool done = fault.run(&from, &to);
        pause(4000);
        load.stop();
        load.sortTimes();
        const QSet<QByteArray> taken = load.taken();
        // Stored once every post taken is in the database, or it stops growing.
        QSet<QByteArray> stored;
        bool read = false;
        for (qsizetype last = -1; ; pause(500)) {
            stored = storedBodies(*database, fault.forum, &read);
            if (!read || stored.contains(taken) || stored.size() == last)
                break;
            last = stored.size();
        }
        qsizetype lost = 0;
        for (const QByteArray &body : taken)
            lost += stored.contains(body) ? 0 : 1;
        const Figures::Summary lists = load.lists().during(from, to);
        const Figures::Summary pages = load.pages().during(from, to);
        const double again = load.firstTakenAfter(to);
        const double recovery = again < 0 ? -1 : (again - to) / 1000;
        std::printf("\n%s (%.1f s)\n", fault.name, (to - from) / 1000);
        std::printf("  posts taken in %lld, stored %lld, lost %lld   (target: none lost)\n",
                    (long long)taken.size(), (long long)(taken.size() - lost), (long long)lost);
        const auto line = [](const char *what, const Figures::Summary &s) {
            std::printf("  %-11s %3zu asked, %zu unanswered, p99 %7.1f ms, worst %7.1f ms"
                        "   (target: all answered, p99 < 500, worst < 1000)\n",
                        what, s.count, s.unanswered, s.p99, s.worst);
        };
        line("list port", lists);
        line("start page", pages);
        std::printf("  posts taken in again %.2f s after the fault   (target: < 3 s)\n", recovery);
        std::fflush(stdout);
        const auto bad = [](const Figures::Summary &s) {
            return s.count == 0 || s.unanswered > 0 || s.p99 >= 500 || s.worst >= 1000;
        };
        const bool ok = done && read && lost == 0 && !bad(lists) && !bad(pages)
            && recovery >= 0 && recovery < 3;
        if (!ok)
            std::printf("  FAILED\n");
        failed = failed || !ok;
    }
    return failed ? 1 : 0;
}
