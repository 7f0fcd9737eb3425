#include "server/net/addresslimit.h"

#include <algorithm>

AddressLimit::AddressLimit(int limit, qint64 windowMs, qsizetype maxAddresses)
    : m_limit(qMax(0, limit)), m_windowMs(windowMs), m_maxAddresses(qMax<qsizetype>(2, maxAddresses))
{
    m_clock.start();
}

QHostAddress AddressLimit::key(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8(0));
    return QHostAddress(bytes);
}

bool AddressLimit::take(const QHostAddress &address, qint64 now)
{
    if (m_limit == 0)
        return true;
    const QHostAddress k = key(address);
    auto it = m_events.find(k);
    if (it == m_events.end()) {
        if (m_events.size() >= m_maxAddresses)
            makeRoom(now);
        it = m_events.insert(k, {});
    }
    QList<qint64> &events = *it;
    while (!events.isEmpty() && now - events.first() >= m_windowMs)
        events.removeFirst();
    if (events.size() >= m_limit)
        return false;
    events.append(now);
    return true;
}

void AddressLimit::giveBack(const QHostAddress &address)
{
    const auto it = m_events.find(key(address));
    if (it != m_events.end() && !it->isEmpty())
        it->removeLast();
}

void AddressLimit::makeRoom(qint64 now)
{
    m_events.removeIf([&](const auto &entry) {
        return entry.value().isEmpty() || now - entry.value().last() >= m_windowMs;
    });
    if (m_events.size() < m_maxAddresses)
        return;
    // Still full of active addresses: the half idle longest is forgotten at
    // once, so that a stream of new addresses costs a scan only now and then.
    QList<qint64> latest;
    latest.reserve(m_events.size());
    for (const QList<qint64> &events : std::as_const(m_events))
        latest.append(events.last());
    const auto middle = latest.begin() + latest.size() / 2;
    std::nth_element(latest.begin(), middle, latest.end());
    const qint64 cut = *middle;
    m_events.removeIf([&](const auto &entry) { return entry.value().last() <= cut; });
}
