#include "server/posts/postpipeline.h"

#include "server/base/mainthread.h"
#include "server/base/servermetrics.h"
#include "server/posts/postwriter.h"
#include "server/posts/sanitizer.h"
#include "server/posts/spoolthread.h"
#include "server/posts/syncedposts.h"
#include "server/store/forumdirectory.h"
#include "server/store/storethread.h"
#include "server/wire/requestrules.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDeadlineTimer>

PostPipeline::PostPipeline(ForumDirectory &directory, StoreThread &store, Spool spool,
                           const Settings &settings, LogSink log, QObject *parent)
    : QObject(parent),
      m_directory(directory),
      m_store(store),
      m_settings(settings),
      m_log(std::move(log)),
      // The quarantine file lies in the data folder, beside the spool's.
      m_writer(std::make_unique<PostWriter>(settings.database, spool.id(),
                                            QFileInfo(spool.folder()).path(),
                                            settings.lastSequence + 1)),
      m_synced(std::make_unique<SyncedPosts>(*m_writer, settings.lastSequence)),
      m_taken(settings.lastSequence),
      m_storedUpTo(settings.lastSequence)
{
    m_spool = std::make_unique<SpoolThread>(std::move(spool));
    metrics::spoolBudget(settings.spoolBudget);
    metrics::spoolBytes(0);
    m_spool->setFlushDelay(settings.spoolFlushDelayMs);
    connect(m_spool.get(), &SpoolThread::synced, this, &PostPipeline::synced);
    connect(m_spool.get(), &SpoolThread::failed, this, [this](const QString &why, quint64 upTo) {
        m_log(QStringLiteral("spool write failed (%1): posts refused").arg(why));
        // Taken back whole: never stored, and their room in the budget is free again.
        m_synced->failed(upTo);
        while (!m_unsynced.empty() && m_unsynced.front().sequence <= upTo) {
            metrics::postRefused("spool_failed");
            m_spoolBytes -= m_unsynced.front().recordBytes;
            const Done done = std::move(m_unsynced.front().done);
            m_unsynced.pop_front();
            done(false);
        }
    });
    connect(m_synced.get(), &SyncedPosts::recharged, this, [this](qint64 delta) {
        m_pendingBytes += delta;
        metrics::postBytesWaiting(m_pendingBytes);
        updateFull();
    });
    connect(m_spool.get(), &SpoolThread::trimmed, this, [this](qint64 bytes) {
        m_spoolBytes -= bytes;
        metrics::spoolBytes(m_spoolBytes);
    });
    connect(m_writer.get(), &PostWriter::stored, this, &PostPipeline::stored);
    connect(m_writer.get(), &PostWriter::lost, this, &PostPipeline::lost);
    connect(m_writer.get(), &PostWriter::back, this, &PostPipeline::back);
    connect(m_writer.get(), &PostWriter::waiting, this, [this](const QString &why, int retryMs) {
        m_log(QStringLiteral("the database fails to store, posts wait in the spool: %1; "
                             "trying again in %2 ms")
                  .arg(why.trimmed())
                  .arg(retryMs));
        emit failing(why.trimmed());
    });
    connect(m_writer.get(), &PostWriter::storing, this, [this] {
        m_log(QStringLiteral("the database stores again"));
        emit storing();
    });
}

PostPipeline::~PostPipeline()
{
    stop(-1);
}

void PostPipeline::start()
{
    m_spool->start();
    m_writer->start();
}

bool PostPipeline::stop(int deadlineMs)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_stopped)
        return true;
    m_stopped = true;
    const QDeadlineTimer deadline = deadlineMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                   : QDeadlineTimer(deadlineMs);
    m_workers.waitForDone(); // CPU only: every post's markup is bounded
    m_synced->deliver();
    // On the disk first: every post the spool has is acknowledged.
    const bool flushed = m_spool->stop(deadline.isForever() ? -1 : int(deadline.remainingTime()));
    if (!flushed)
        m_spool->disconnect(this); // what it says later has no one to tell
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // Reset, even if a flush left behind still brings some to the disk: a
    // post shown twice can be hidden, one acknowledged and lost is gone.
    for (Unsynced &unsynced : m_unsynced)
        unsynced.done(false);
    m_unsynced.clear();
    if (!flushed) {
        m_log(QStringLiteral("the spool's last flush did not end in time: left behind"));
        (void)m_spool.release();
    }
    const bool ended =
        m_writer->stop(deadline.isForever() ? -1 : int(deadline.remainingTime())) && flushed;
    // The last batches' lines, which the event loop will no longer deliver.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (waitingInSpool() > 0)
        m_log(QStringLiteral("%1 posts wait in the spool; they are stored at the next start")
                  .arg(waitingInSpool()));
    if (!ended)
        (void)m_writer.release(); // left behind, blocked in the database
    return ended;
}

namespace {

// The bytes a post holds while it waits: its fields as sent, their HTML in
// UTF-16 (until it is made, the most it can come to) and the log's words.
qint64 heldBytes(qsizetype title, qsizetype body, qsizetype titleHtml, qsizetype bodyHtml,
                 qsizetype words)
{
    return title + body + 2 * (titleHtml + bodyHtml + words) + PostPipeline::postOverhead;
}

// Makes one post's markup safe, and charges it what it holds now.
void makeSafe(PostWriter::Post &post, const QByteArray &title, const QByteArray &body,
              qint64 size)
{
    bool titleEscaped = false;
    bool bodyEscaped = false;
    post.message.title = title;
    post.message.body = body;
    post.message.titleHtml = sanitizeHtml(title, &titleEscaped);
    post.message.bodyHtml = sanitizeHtml(body, &bodyEscaped);
    // Built by appending, they may hold room for twice their text.
    post.message.titleHtml.squeeze();
    post.message.bodyHtml.squeeze();
    post.tail = QStringLiteral(", %1 bytes").arg(size);
    if (titleEscaped || bodyEscaped) {
        metrics::postEscaped();
        post.tail += QStringLiteral(" (markup over the parse budget: kept as escaped text)");
    }
    post.bytes = heldBytes(title.size(), body.size(), post.message.titleHtml.capacity(),
                           post.message.bodyHtml.capacity(),
                           post.head.size() + post.tail.size());
}

// A post this small with this few tags is made safe at once, on the main
// thread: parsing it costs a few microseconds, less than waking a worker
// for it and hearing back. Its parse is bounded by both: a fraction of a
// millisecond however its tags are nested.
constexpr qsizetype mostBytesMadeSafeAtOnce = 2048;
constexpr qint64 mostCostMadeSafeAtOnce = 256;

bool cheapToMakeSafe(const requestrules::PostFields &fields)
{
    return fields.title.size() + fields.body.size() <= mostBytesMadeSafeAtOnce
        && parseCost(fields.title) + parseCost(fields.body) <= mostCostMadeSafeAtOnce;
}

} // namespace

void PostPipeline::refuse(const QString &peer, const char *reason, const QString &why,
                          const Done &done)
{
    metrics::postRefused(reason);
    m_log(QStringLiteral("post refused %1: %2").arg(peer, why));
    done(false);
}

void PostPipeline::take(const QString &peer, const QByteArray &request, Done done)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    metrics::postReceived();
    if (m_stopped)
        return refuse(peer, "stopping", QStringLiteral("the server is stopping"), done);
    const auto fields = requestrules::splitPost(request);
    if (!fields)
        return refuse(peer, "malformed",
                      QStringLiteral("fewer than two \"*\" in %1 bytes").arg(request.size()),
                      done);
    switch (requestrules::checkPostFields(*fields)) {
    case requestrules::PostFieldsCheck::NotUtf8:
        return refuse(peer, "not_utf8", QStringLiteral("its title or body is not UTF-8"), done);
    case requestrules::PostFieldsCheck::TitleTooLong:
        return refuse(peer, "too_long",
                      QStringLiteral("a title of %1 bytes, over %2")
                          .arg(fields->title.size())
                          .arg(requestrules::maxTitleBytes),
                      done);
    case requestrules::PostFieldsCheck::Ok: break;
    }
    const QString forum = QString::fromUtf8(fields->forum);
    const bool exact = forum.toUtf8() == fields->forum;
    const QString unknown =
        QStringLiteral("unknown forum \"%1\"").arg(logtext::printable(fields->forum));
    if (const auto id = exact ? m_directory.id(forum) : std::nullopt)
        return accept(peer, request, *id, forum, std::move(done));
    if (m_settings.directoryIsWhole || !exact)
        return refuse(peer, "unknown_forum", unknown, done);
    // Another server may have created it a moment ago: the database decides.
    m_store.run(this, [this, forum, peer, request, unknown,
                       done = std::move(done)](ForumStore &store) -> StoreThread::Reply {
        const std::optional<qint64> id = store.forumId(forum);
        const bool available = store.isAvailable();
        return [this, id, available, forum, peer, request, unknown, done] {
            if (!id)
                return refuse(peer, available ? "unknown_forum" : "database_lost",
                              available ? unknown : QStringLiteral("the database is lost"),
                              done);
            m_directory.add({{*id, forum}});
            accept(peer, request, *id, forum, done);
        };
    });
}

void PostPipeline::accept(const QString &peer, const QByteArray &request, qint64 forumId,
                          const QString &forum, Done done)
{
    if (m_stopped)
        return refuse(peer, "stopping", QStringLiteral("the server is stopping"), done);
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    const quint64 sequence = m_taken + 1;
    const QByteArray record = Spool::encode({sequence, arrived, peer, request});
    if (m_spoolBytes + record.size() > m_settings.spoolBudget)
        return refuse(peer, "spool_full",
                      QStringLiteral("the spool holds its budget of %1 bytes")
                          .arg(m_settings.spoolBudget),
                      done);
    m_taken = sequence;
    m_spoolBytes += record.size();
    metrics::spoolBytes(m_spoolBytes);
    m_spool->append(sequence, record);
    m_unsynced.push_back({sequence, record.size(), std::move(done)});
    m_lastTakenFor.insert(forum, sequence);
    const auto fields = requestrules::splitPost(request);
    PostWriter::Post post;
    post.message.forumId = forumId;
    post.message.arrived = arrived;
    post.head = QStringLiteral("post %1 to \"%2\": ").arg(peer, forum);
    constexpr qsizetype longestTail = 96;
    post.bytes = heldBytes(fields->title.size(), fields->body.size(),
                           sanitizedLimit(fields->title.size()),
                           sanitizedLimit(fields->body.size()), post.head.size() + longestTail);
    m_pendingBytes += post.bytes;
    ++m_pendingPosts;
    metrics::postBytesWaiting(m_pendingBytes);
    updateFull();
    post.peer = peer;
    post.forum = forum;
    const qint64 charged = post.bytes;
    if (cheapToMakeSafe(*fields)) {
        makeSafe(post, fields->title, fields->body, request.size());
        return m_synced->place(sequence, charged, std::move(post));
    }
    // Stored in its place in the order of arrival, whichever worker ends first.
    m_workers.start([synced = m_synced.get(), sequence, charged, post = std::move(post),
                     title = fields->title, body = fields->body,
                     size = request.size()]() mutable {
        makeSafe(post, title, body, size);
        synced->put(sequence, charged, std::move(post));
    });
}

void PostPipeline::synced(quint64 upTo)
{
    m_synced->synced(upTo);
    while (!m_unsynced.empty() && m_unsynced.front().sequence <= upTo) {
        const Done done = std::move(m_unsynced.front().done);
        m_unsynced.pop_front();
        done(true);
    }
}

void PostPipeline::stored(const QStringList &lines, quint64 upTo,
                          const QList<qint64> &forumIds, qint64 bytes, qint64 posts,
                          qint64 quarantined)
{
    Q_UNUSED(quarantined); // counted, with its line, where it happened
    for (const QString &line : lines)
        m_log(line);
    m_pendingBytes -= bytes;
    m_pendingPosts -= posts;
    metrics::postBytesWaiting(m_pendingBytes);
    updateFull();
    if (!forumIds.isEmpty())
        emit committed(forumIds);
    m_storedUpTo = std::max(m_storedUpTo, upTo);
    m_lastTakenFor.removeIf([this](const auto &last) { return last.value() <= m_storedUpTo; });
    // Only now, after the commit: the spool's segments the database holds.
    m_spool->trim(m_storedUpTo);
    emit storedUpTo(m_storedUpTo);
}

void PostPipeline::updateFull()
{
    if (!m_full && (m_pendingBytes > maxPendingBytes || m_pendingPosts >= maxPendingPosts)) {
        m_full = true;
        m_log(QStringLiteral("posts not yet stored exceed %1 bytes or %2 posts: the post port "
                             "waits")
                  .arg(maxPendingBytes)
                  .arg(maxPendingPosts));
        emit fullChanged(true);
    } else if (m_full && m_pendingBytes <= maxPendingBytes / 8 * 7
               && m_pendingPosts <= maxPendingPosts / 8 * 7) {
        // Not half: after an outage that filled the bound, the writer would
        // store seconds' worth of posts before the port took any again.
        m_full = false;
        emit fullChanged(false);
    }
}
