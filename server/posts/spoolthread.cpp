#include "server/posts/spoolthread.h"

#include <QDeadlineTimer>

SpoolThread::SpoolThread(Spool spool, QObject *parent)
    : QObject(parent), m_spool(std::move(spool)), m_thread(QThread::create([this] { run(); }))
{
    m_thread->setObjectName(QStringLiteral("spool"));
}

SpoolThread::~SpoolThread()
{
    stop();
}

void SpoolThread::start()
{
    m_thread->start();
}

void SpoolThread::append(quint64 sequence, const QByteArray &record)
{
    QMutexLocker lock(&m_mutex);
    if (m_queued.isEmpty())
        m_queuedFirst = sequence;
    m_queued += record;
    m_queuedLast = sequence;
    m_work.wakeAll();
}

void SpoolThread::trim(quint64 storedUpTo)
{
    QMutexLocker lock(&m_mutex);
    if (storedUpTo <= m_trimTo)
        return;
    m_trimTo = storedUpTo;
    m_work.wakeAll();
}

bool SpoolThread::stop(int deadlineMs)
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_work.wakeAll();
    }
    return !m_thread->isRunning()
        || m_thread->wait(deadlineMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                         : QDeadlineTimer(deadlineMs));
}

void SpoolThread::run()
{
    quint64 trimmedTo = 0;
    for (;;) {
        QByteArray records;
        quint64 first = 0;
        quint64 last = 0;
        quint64 trimTo = 0;
        bool stopping = false;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && m_queued.isEmpty() && m_trimTo == trimmedTo)
                m_work.wait(&m_mutex);
            records.swap(m_queued);
            first = m_queuedFirst;
            last = m_queuedLast;
            trimTo = m_trimTo;
            stopping = m_stopping;
        }
        // What queued while the last group was flushed goes out as one.
        if (!records.isEmpty()) {
            if (m_flushDelayMs > 0)
                QThread::msleep(ulong(m_flushDelayMs));
            QString why;
            if (m_spool.append(records, first, last, &why))
                emit synced(last);
            else
                emit failed(why, last);
        }
        if (trimTo > trimmedTo) {
            trimmedTo = trimTo;
            if (const qint64 freed = m_spool.trim(trimTo))
                emit trimmed(freed);
        }
        if (stopping && records.isEmpty())
            return;
    }
}
