#pragma once
// At most N events per client address within a sliding window (new forums
// per hour, posts per minute). The table of addresses is bounded: entries
// whose events have all left the window go, and at the cap the addresses
// idle longest are forgotten first.

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>

// Lives on the main thread.
class AddressLimit
{
public:
    // limit 0: no limit, nothing kept.
    AddressLimit(int limit, qint64 windowMs, qsizetype maxAddresses = 10000);

    int limit() const { return m_limit; }
    qint64 windowMs() const { return m_windowMs; }
    qsizetype addressCount() const { return m_events.size(); }

    // Counts one event for the address; false (and nothing counted) if it
    // already has `limit` within the window.
    bool take(const QHostAddress &address) { return take(address, m_clock.elapsed()); }
    // The same at a given time (milliseconds on one steady clock, never going back).
    bool take(const QHostAddress &address, qint64 nowMs);
    // Takes back the address's latest event (one that came to nothing).
    void giveBack(const QHostAddress &address);

    // The key an address counts under: IPv4 as it is (also when written as
    // IPv6), IPv6 by its /64, the block one host is usually given.
    static QHostAddress key(const QHostAddress &address);

private:
    void makeRoom(qint64 now);

    int m_limit;
    qint64 m_windowMs;
    qsizetype m_maxAddresses;
    QElapsedTimer m_clock;
    QHash<QHostAddress, QList<qint64>> m_events; // per key, oldest first, at most m_limit
};
