#include "server/base/servermetrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <map>
#include <mutex>
#include <utility>

namespace metrics {

namespace {

using namespace prometheus;

// The children of a family with one or two labels. Family::Add builds and
// hashes a label map on every call; each label set is looked up that way
// once and kept, since ports, outcomes and reasons are few.
template <typename T>
class Labelled
{
public:
    Labelled(Family<T> &family, std::string first, std::string second = {})
        : m_family(family), m_first(std::move(first)), m_second(std::move(second))
    {
    }

    T &operator()(const std::string &a, const std::string &b = {})
    {
        const std::scoped_lock lock(m_mutex);
        auto child = m_children.find({a, b});
        if (child == m_children.end()) {
            std::map<std::string, std::string> labels{{m_first, a}};
            if (!m_second.empty())
                labels.emplace(m_second, b);
            child = m_children.emplace(std::pair{a, b}, &m_family.Add(labels)).first;
        }
        return *child->second;
    }

private:
    Family<T> &m_family;
    const std::string m_first, m_second;
    std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, T *> m_children;
};

struct All
{
    Registry registry;
    Labelled<Gauge> connectionsOpen{BuildGauge()
        .Name("tavernly_connections_open")
        .Help("Connections open now, by port")
        .Register(registry), "port"};
    Labelled<Counter> connectionsAccepted{BuildCounter()
        .Name("tavernly_connections_accepted_total")
        .Help("Connections accepted, by port")
        .Register(registry), "port"};
    Labelled<Counter> connectionsCut{BuildCounter()
        .Name("tavernly_connections_cut_total")
        .Help("Unfinished connections cut off, by port and reason (limit: to make room "
              "for a waiting one; deadline: request not complete in time; idle: nothing "
              "after an answer on a kept-alive connection; proxy_header: a trusted proxy's "
              "connection without a valid PROXY header)")
        .Register(registry), "port", "reason"};
    Labelled<Counter> requests{BuildCounter()
        .Name("tavernly_requests_total")
        .Help("Requests by port and outcome (the page port: the status sent)")
        .Register(registry), "port", "outcome"};
    Labelled<Counter> limitedRequests{BuildCounter()
        .Name("tavernly_limited_total")
        .Help("Requests refused because their address is over its limit, by what (create, post)")
        .Register(registry), "what"};
    Counter &postsReceived = BuildCounter()
        .Name("tavernly_posts_received_total")
        .Help("Posts whose sender finished sending")
        .Register(registry).Add({});
    Counter &postsStored = BuildCounter()
        .Name("tavernly_posts_stored_total")
        .Help("Posts committed to the database")
        .Register(registry).Add({});
    Counter &postsEscaped = BuildCounter()
        .Name("tavernly_posts_escaped_total")
        .Help("Posts whose markup was over the parse budget, kept as escaped text")
        .Register(registry).Add({});
    Counter &postsQuarantined = BuildCounter()
        .Name("tavernly_posts_quarantined_total")
        .Help("Acknowledged posts the database refused while it stored others, kept in the "
              "data folder's quarantine file")
        .Register(registry).Add({});
    Labelled<Counter> postsRefused{BuildCounter()
        .Name("tavernly_posts_refused_total")
        .Help("Posts not stored, by reason")
        .Register(registry), "reason"};
    Gauge &bytesWaiting = BuildGauge()
        .Name("tavernly_post_bytes_waiting")
        .Help("Bytes of posts taken in and not yet committed")
        .Register(registry).Add({});
    Gauge &spoolBytes = BuildGauge()
        .Name("tavernly_spool_bytes")
        .Help("Bytes of posts the spool holds on disk, not yet stored")
        .Register(registry).Add({});
    Gauge &spoolBudget = BuildGauge()
        .Name("tavernly_spool_budget_bytes")
        .Help("Bytes the spool may hold; past them posts are refused")
        .Register(registry).Add({});
    Histogram &batchSize = BuildHistogram()
        .Name("tavernly_post_batch_size")
        .Help("Posts per committed transaction")
        .Register(registry)
        .Add({}, Histogram::BucketBoundaries{1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000});
    Histogram &commitSeconds = BuildHistogram()
        .Name("tavernly_post_commit_seconds")
        .Help("Time to store one batch of posts, commit included")
        .Register(registry)
        .Add({}, Histogram::BucketBoundaries{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                             0.1, 0.25, 0.5, 1, 2.5, 5});
    Gauge &databaseUp = BuildGauge()
        .Name("tavernly_database_up")
        .Help("1 while the database answers and stores, 0 while a connection to it is lost "
              "or it fails to store posts (they wait in the spool)")
        .Register(registry).Add({});
    Counter &databaseReconnects = BuildCounter()
        .Name("tavernly_database_reconnects_total")
        .Help("Connections to the database opened again after being lost")
        .Register(registry).Add({});
    Counter &pageCacheHits = BuildCounter()
        .Name("tavernly_page_cache_hits_total")
        .Help("Page requests answered from a page already built")
        .Register(registry).Add({});
    Counter &pageCacheMisses = BuildCounter()
        .Name("tavernly_page_cache_misses_total")
        .Help("Pages built because none held was recent enough")
        .Register(registry).Add({});
};

All &all()
{
    static All metrics;
    return metrics;
}

} // namespace

void connectionAccepted(const std::string &port)
{
    all().connectionsAccepted(port).Increment();
    all().connectionsOpen(port).Increment();
}

void connectionClosed(const std::string &port)
{
    all().connectionsOpen(port).Decrement();
}

void connectionCut(const std::string &port, const char *reason)
{
    all().connectionsCut(port, reason).Increment();
}

void requestDone(const std::string &port, const std::string &outcome)
{
    all().requests(port, outcome).Increment();
}

void limited(const char *what)
{
    all().limitedRequests(what).Increment();
}

void postReceived()
{
    all().postsReceived.Increment();
}

void postEscaped()
{
    all().postsEscaped.Increment();
}

void postQuarantined()
{
    all().postsQuarantined.Increment();
}

void postRefused(const char *reason)
{
    all().postsRefused(reason).Increment();
}

void postBytesWaiting(qint64 bytes)
{
    all().bytesWaiting.Set(double(bytes));
}

void spoolBytes(qint64 bytes)
{
    all().spoolBytes.Set(double(bytes));
}

void spoolBudget(qint64 bytes)
{
    all().spoolBudget.Set(double(bytes));
}

void batchCommitted(qint64 posts, double seconds)
{
    all().postsStored.Increment(double(posts));
    all().batchSize.Observe(double(posts));
    all().commitSeconds.Observe(seconds);
}

void databaseUp(bool up)
{
    all().databaseUp.Set(up ? 1 : 0);
}

void databaseReconnected()
{
    all().databaseReconnects.Increment();
}

void pageCacheHit()
{
    all().pageCacheHits.Increment();
}

void pageBuilt()
{
    all().pageCacheMisses.Increment();
}

std::string text()
{
    return TextSerializer().Serialize(all().registry.Collect());
}

} // namespace metrics
