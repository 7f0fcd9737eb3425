#include "server/posts/spoolreplay.h"

#include "server/posts/poststorer.h"
#include "server/posts/sanitizer.h"
#include "server/posts/spool.h"
#include "server/store/forumstore.h"
#include "server/wire/requestrules.h"

#include <QHash>
#include <QSet>
#include <QThread>

namespace spoolreplay {

namespace {
constexpr qsizetype batchSize = 2000;
} // namespace

bool replay(ForumStore &store, Spool &spool, const Quarantine &quarantine, const LogSink &log,
            quint64 *last, QString *error)
{
    PostStorer::Hooks hooks;
    hooks.pause = [](int ms) {
        QThread::msleep(ulong(ms));
        return true;
    };
    hooks.waiting = [&log](const QString &why, int retryMs) {
        log(QStringLiteral("spool: posts wait: %1; trying again in %2 ms")
                .arg(why.trimmed())
                .arg(retryMs));
    };
    hooks.storing = [&log] { log(QStringLiteral("spool: the database stores again")); };
    hooks.lost = [&log](const QString &why) {
        log(QStringLiteral("spool: database lost (%1); trying again every second")
                .arg(why.trimmed()));
    };
    PostStorer storer(store, spool.id(), quarantine, hooks);
    quint64 mark = 0;
    storer.retry([&] {
        bool read = false;
        mark = store.spoolMark(spool.id(), &read);
        return read;
    });
    // Quarantined by a run that ended before the mark passed them.
    QSet<quint64> quarantined;
    for (const Quarantine::Entry &entry : quarantine.entries())
        if (entry.spoolId == spool.id())
            quarantined.insert(entry.sequence);
    *last = mark;
    QHash<QString, qint64> forums; // 0: none of that name
    qint64 stored = 0;
    qint64 kept = 0;
    QList<PostStorer::Post> batch;
    const auto flush = [&] {
        QList<PostStorer::Fate> fates;
        QStringList why;
        storer.store(batch, &fates, &why);
        for (qsizetype i = 0; i < batch.size(); ++i) {
            if (fates[i] == PostStorer::Fate::Stored) {
                ++stored;
                continue;
            }
            ++kept;
            log(QStringLiteral("spool: post %1 from %2 quarantined, the database refuses it: %3")
                    .arg(batch[i].sequence)
                    .arg(batch[i].peer, why[i].simplified()));
        }
        batch.clear();
    };
    bool any = false;
    for (const quint64 first : spool.segments()) {
        QString warning;
        const QList<Spool::Record> records = spool.segment(first, &warning);
        if (!warning.isEmpty())
            log(QStringLiteral("spool: %1").arg(warning));
        for (const Spool::Record &record : records) {
            *last = std::max(*last, record.sequence);
            if (record.sequence <= mark || quarantined.contains(record.sequence))
                continue;
            any = true;
            const auto fields = requestrules::splitPost(record.request);
            PostStorer::Post post;
            post.sequence = record.sequence;
            post.peer = record.peer;
            post.forum = fields ? QString::fromUtf8(fields->forum) : QString();
            if (fields && !forums.contains(post.forum)) {
                std::optional<qint64> id;
                storer.retry([&] {
                    bool read = false;
                    id = store.forumId(post.forum, &read);
                    return read;
                });
                forums.insert(post.forum, id.value_or(0));
            }
            if (!fields || forums.value(post.forum) == 0) {
                // Acknowledged once, so kept: the operator decides.
                const QString why = QStringLiteral("no forum \"%1\"").arg(post.forum);
                if (!storer.quarantine({spool.id(), record.sequence, record.arrived, record.peer,
                                        record.request, why},
                                       error))
                    return false;
                ++kept;
                log(QStringLiteral("spool: post %1 from %2 quarantined: %3")
                        .arg(record.sequence)
                        .arg(record.peer, why));
                continue;
            }
            post.message = {forums.value(post.forum), fields->title, fields->body,
                            sanitizeHtml(fields->title), sanitizeHtml(fields->body),
                            record.arrived};
            batch.append(std::move(post));
            if (batch.size() >= batchSize)
                flush();
        }
    }
    flush();
    if (any)
        log(QStringLiteral("spool: %1 posts stored from the spool, up to %2%3")
                .arg(stored)
                .arg(*last)
                .arg(kept > 0 ? QStringLiteral(", %1 quarantined").arg(kept) : QString()));
    spool.clear();
    return true;
}

} // namespace spoolreplay
