#include "flood.h"

#include "plainsender.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <chrono>

namespace kit {

bool acknowledged(quint16 port, const QByteArray &request, const char *from)
{
    bool ok = false;
    return exchange(port, request, &ok, 20000, from).isEmpty() && ok;
}

Flood::Flood(quint16 port, const QByteArray &tag, int senders, qsizetype paddingSize,
             const QList<QByteArray> &forums)
    : m_port(port), m_tag(tag), m_kept(senders)
{
    const QByteArray padding(paddingSize, 'p');
    for (int s = 0; s < senders; ++s) {
        m_threads.emplace_back([this, s, padding, forums] {
            for (int i = 0; !m_done; ++i) {
                const QByteArray body =
                    m_tag + "s" + QByteArray::number(s) + "-" + QByteArray::number(i) + padding;
                const QByteArray &forum = forums.at(i % forums.size());
                if (acknowledged(m_port, forum + "*<b>F</b>*" + body)) {
                    m_kept[s].append(body);
                    ++m_count;
                    // Wakes the waiting loop, which may hear nothing else meanwhile.
                    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {},
                                              Qt::QueuedConnection);
                } else {
                    ++m_failed;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2)); // restarting
                }
            }
        });
    }
}

void Flood::stop()
{
    m_done = true;
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
}

bool Flood::grows(int by, int timeoutMs) const
{
    const int target = m_count + by;
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // ends the last wait for events at the deadline
    wake.setSingleShot(true);
    while (m_count < target) {
        if (deadline.hasExpired())
            return false;
        if (!wake.isActive())
            wake.start(int(std::max<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString Flood::lostOrTwice(const QHash<QByteArray, int> &stored) const
{
    int lost = 0;
    int twice = 0;
    for (const QList<QByteArray> &bodies : m_kept)
        for (const QByteArray &body : bodies)
            lost += stored.value(body) == 0;
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        twice += it.key().startsWith(m_tag) && it.value() > 1;
    if (lost == 0 && twice == 0)
        return {};
    return QStringLiteral("%1 acknowledged, %2 lost, %3 stored twice")
        .arg(m_count.load())
        .arg(lost)
        .arg(twice);
}

} // namespace kit
