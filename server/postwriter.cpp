#include "server/postwriter.h"

namespace {
// Bounds one transaction, so that a long backlog still commits often.
constexpr int maxBatch = 2000;
} // namespace

PostWriter::PostWriter(const DatabaseUrl &database, QObject *parent)
    : QThread(parent), m_database(database)
{
}

PostWriter::~PostWriter()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_work.wakeAll();
    }
    wait();
}

void PostWriter::hand(quint64 sequence, NewMessage message, const QString &head,
                      const QString &tail)
{
    QMutexLocker lock(&m_mutex);
    m_ready.emplace(sequence, Item{std::move(message), head, tail});
    if (sequence == m_next)
        m_work.wakeAll();
}

bool PostWriter::store(ForumStore &store, const QList<NewMessage> &batch, QString *why)
{
    // Servers sharing a database may make one of two transactions give way:
    // a few more tries. A lost database is waited for as long as the server runs.
    for (int refusals = 0; refusals < 3;) {
        if (store.addMessages(batch))
            return true;
        *why = store.lastError();
        if (store.isAvailable()) {
            ++refusals;
            continue;
        }
        while (!store.reconnect(why)) {
            QMutexLocker lock(&m_mutex);
            if (m_stopping)
                return false;
            m_work.wait(&m_mutex, 1000);
        }
    }
    return false;
}

void PostWriter::run()
{
    ForumStore store;
    QString error;
    const bool opened = store.open(m_database, &error);
    for (;;) {
        QList<NewMessage> batch;
        QList<std::pair<QString, QString>> lines;
        quint64 last = 0;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && (m_ready.empty() || m_ready.begin()->first != m_next))
                m_work.wait(&m_mutex);
            if (m_ready.empty() || m_ready.begin()->first != m_next)
                return; // stopping, and everything handed over is stored
            while (!m_ready.empty() && m_ready.begin()->first == m_next
                   && batch.size() < maxBatch) {
                Item item = std::move(m_ready.begin()->second);
                m_ready.erase(m_ready.begin());
                last = m_next++;
                batch.append(std::move(item.message));
                lines.append({item.head, item.tail});
            }
        }
        const bool committed = opened && this->store(store, batch, &error);
        const QString outcome =
            committed ? QStringLiteral("stored") : QStringLiteral("not stored: %1").arg(error);
        QStringList log;
        for (const auto &[head, tail] : lines)
            log.append(head + outcome + tail);
        emit stored(log, last);
    }
}
