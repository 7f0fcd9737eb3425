#include "server/store/storethread.h"

#include "server/store/sqldialect.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QSqlDriver>
#include <QTimer>
#include <QVariant>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Lowers the calling thread's priority: a nice value of its own on Linux
// (QThread's priorities other than idle change nothing there).
void yield()
{
#ifdef Q_OS_LINUX
    constexpr int niceness = 10;
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), niceness);
#endif
}

} // namespace

// Lives on the store thread: made on the main thread and moved there at once.
class StoreWorker : public QObject
{
public:
    StoreWorker(const DatabaseUrl &database, int pollMs, StoreThread *facade)
        : m_database(database), m_facade(facade), m_retry(new QTimer(this)),
          m_poll(new QTimer(this))
    {
        m_retry->setInterval(1000);
        connect(m_retry, &QTimer::timeout, this, &StoreWorker::reconnect);
        m_poll->setInterval(pollMs);
        connect(m_poll, &QTimer::timeout, this, &StoreWorker::poll);
        m_store.setLostHandler([this](const QString &why) {
            if (m_retry->isActive())
                return;
            m_retry->start();
            tell([why](StoreThread *f) { emit f->lost(why); });
        });
    }

    void setOrigin(const QString &origin) { m_origin = origin; }

    void open()
    {
        QString why;
        if (!m_store.connect(m_database, &why)) {
            m_retry->start();
            tell([why](StoreThread *f) { emit f->lost(why); });
            return;
        }
        listen();
    }

    void create(const QString &name, const std::function<void(ForumStore::CreateResult,
                                                              const QString &)> &done)
    {
        if (m_facade->m_stopping)
            return;
        qint64 id = 0;
        const ForumStore::CreateResult result = m_store.createForum(name, &id);
        const QString why = m_store.lastError();
        if (result == ForumStore::CreateResult::Created)
            tell([id, name](StoreThread *f) { emit f->forumsAdded({{id, name}}); });
        tell([done, result, why](StoreThread *) { done(result, why); });
    }

    void run(const StoreThread::Job &job, const QPointer<QObject> &requester)
    {
        if (m_facade->m_stopping)
            return; // the server stops: not one more statement
        tell([reply = job(m_store), requester](StoreThread *) {
            if (requester) // checked back on the main thread
                reply();
        });
    }

    void searchOnly()
    {
        yield();
        m_learnsChanges = false;
    }

    void check()
    {
        if (!m_retry->isActive())
            m_store.check();
    }

private:
    template <typename F>
    void tell(F what)
    {
        QMetaObject::invokeMethod(m_facade, [f = m_facade, what] { what(f); },
                                  Qt::QueuedConnection);
    }

    void reconnect()
    {
        QString why;
        if (!m_store.reconnect(&why))
            return;
        m_retry->stop();
        listen();
        tell([](StoreThread *f) { emit f->back(); });
    }

    // PostgreSQL: hear other servers' commits. SQLite: notice another
    // process's (a moderator's), once a second. Whatever happened while not
    // listening counts as changed.
    void listen()
    {
        if (!m_learnsChanges)
            return;
        if (m_database.engine == DatabaseUrl::Engine::PostgreSQL) {
            QSqlDriver *driver = m_store.database().driver();
            driver->subscribeToNotification(SqlDialect::changeChannel());
            connect(driver, &QSqlDriver::notification, this,
                    [this](const QString &, QSqlDriver::NotificationSource,
                           const QVariant &payload) { heard(payload.toString()); });
        }
        m_lastCount = -1;
        poll();
        if (m_poll->interval() > 0)
            m_poll->start();
    }

    void heard(const QString &payload)
    {
        m_heard = true;
        if (payload == u"forums") {
            readForums();
            return;
        }
        QList<qint64> ids;
        QString origin;
        SqlDialect::readChanges(payload, &ids, &origin);
        // This server's own commit: its pages heard of it at the commit.
        if (!origin.isEmpty() && origin == m_origin)
            return;
        tell([ids](StoreThread *f) { emit f->postsAdded(ids); });
    }

    void readForums()
    {
        bool ok = false;
        const QList<ForumEntry> forums = m_store.forums(&ok);
        if (ok)
            tell([forums](StoreThread *f) { emit f->forumsAdded(forums); });
    }

    // Commits nobody announced (or whose announcement was lost): everything
    // counts as changed, and the forums are read again.
    void poll()
    {
        if (m_retry->isActive() || m_facade->m_stopping)
            return;
        // SQLite: a database file removed or replaced is lost within a second.
        if (m_database.engine == DatabaseUrl::Engine::SQLite && !m_store.fileIntact()) {
            m_store.check();
            return;
        }
        const qint64 count = m_store.changeCount();
        if (count < 0)
            return; // lost (and reconnecting), or slow: counted again next time
        if (count != m_lastCount && !m_heard) {
            readForums();
            tell([](StoreThread *f) { emit f->postsAdded({}); });
        }
        m_lastCount = count;
        m_heard = false;
    }

    DatabaseUrl m_database;
    StoreThread *m_facade;
    ForumStore m_store;
    QTimer *m_retry;
    QTimer *m_poll;
    qint64 m_lastCount = -1;
    bool m_heard = false;
    bool m_learnsChanges = true; // false on a thread that only searches
    QString m_origin; // the announcements that are this server's own
};

StoreThread::StoreThread(const DatabaseUrl &database, int pollMs, QObject *parent)
    : QObject(parent), m_worker(new StoreWorker(database, pollMs, this))
{
    m_thread.setObjectName(QStringLiteral("store"));
    m_worker->moveToThread(&m_thread);
}

bool StoreThread::stop(int deadlineMs)
{
    m_stopping = true;
    if (!m_thread.isRunning())
        return true;
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] {
        delete worker; // its connection closes on its own thread
        QThread::currentThread()->quit();
    }, Qt::QueuedConnection);
    m_worker = nullptr;
    return m_thread.wait(QDeadlineTimer(deadlineMs));
}

StoreThread::~StoreThread()
{
    if (!m_worker) {
        m_thread.wait(); // stop() has asked it to end
    } else if (m_thread.isRunning()) {
        QMetaObject::invokeMethod(m_worker, [worker = m_worker] {
            delete worker; // its connection closes on its own thread
            QThread::currentThread()->quit();
        }, Qt::QueuedConnection);
        m_thread.wait();
    } else {
        delete m_worker;
    }
}

void StoreThread::setOrigin(const QString &origin)
{
    m_worker->setOrigin(origin); // the thread has not started
}

void StoreThread::start(Role role)
{
    m_thread.start();
    if (role == Role::Searches)
        QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->searchOnly(); },
                                  Qt::QueuedConnection);
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->open(); },
                              Qt::QueuedConnection);
}

void StoreThread::create(const QString &name, QObject *requester, Created done)
{
    if (!m_worker)
        return; // stopped
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, name, r = QPointer<QObject>(requester),
                                         done = std::move(done)] {
        worker->create(name, [r, done](ForumStore::CreateResult result, const QString &why) {
            if (r) // checked back on this thread
                done(result, why);
        });
    }, Qt::QueuedConnection);
}

void StoreThread::check()
{
    if (!m_worker)
        return; // stopped
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->check(); },
                              Qt::QueuedConnection);
}

void StoreThread::run(QObject *requester, Job job)
{
    if (!m_worker)
        return; // stopped
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, r = QPointer<QObject>(requester),
                                         job = std::move(job)] { worker->run(job, r); },
                              Qt::QueuedConnection);
}
