#pragma once
// The database work of the ports, on a thread of its own with its own
// connection: creating forums, the jobs other layers hand it (building
// pages), and learning what other servers changed. The thread that serves the ports only hands work over
// and hears back; it never waits for the database.
//
// On PostgreSQL the thread listens for the announcements every server makes
// with its commits, and counts the forums and messages once a second in case
// an announcement was missed. On SQLite it asks once a second whether another
// process (a moderator's command) has committed. A lost database is
// reconnected every second.

#include "server/store/databaseurl.h"
#include "server/store/forumrecords.h"
#include "server/store/forumstore.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>

class StoreWorker;

// Lives on the main thread; owns the store thread and its worker.
class StoreThread : public QObject
{
    Q_OBJECT
public:
    // pollMs: how often commits are counted (0: never).
    explicit StoreThread(const DatabaseUrl &database, int pollMs = 1000, QObject *parent = nullptr);
    ~StoreThread() override; // after the statement under way, if any, has ended

    // Store: learns of other writers' changes. Searches: only runs the jobs
    // it is handed, and they give way to other threads' (a lower priority,
    // where the system has one per thread), so that slow ones delay nobody.
    enum class Role { Store, Searches };
    // Before start(): announcements from this origin (the server's spool id,
    // which its writer's carry) are its own commits, already known here.
    void setOrigin(const QString &origin);
    void start(Role role = Role::Store);
    // Jobs not yet begun are skipped; waits until the thread ends or the
    // deadline passes. False: it is still in a statement (a frozen database),
    // and must be left behind: the process ends without destroying this.
    bool stop(int deadlineMs);

    using Created = std::function<void(ForumStore::CreateResult result, const QString &why)>;
    // `done` runs on this thread unless `requester` is gone by then.
    void create(const QString &name, QObject *requester, Created done);
    // Runs `job` on the store thread with its connection; the function it
    // returns runs back on this thread unless `requester` is gone by then.
    using Reply = std::function<void()>;
    using Job = std::function<Reply(ForumStore &store)>;
    void run(QObject *requester, Job job);
    // Asks the database the simplest question: lost() if it does not answer.
    void check();

signals:
    // Forums created here or by other servers.
    void forumsAdded(const QList<ForumEntry> &forums);
    // Messages committed by other servers; an empty list: any forum may have changed.
    void postsAdded(const QList<qint64> &forumIds);
    void lost(const QString &why);
    void back();

private:
    friend class StoreWorker;
    QThread m_thread;
    std::atomic_bool m_stopping{false};
    StoreWorker *m_worker;
};
