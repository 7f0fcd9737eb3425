#include "server/posts/spoolreplay.h"

#include "server/posts/sanitizer.h"
#include "server/posts/spool.h"
#include "server/store/forumstore.h"
#include "server/wire/requestrules.h"

#include <QHash>

namespace spoolreplay {

namespace {
constexpr qsizetype batchSize = 2000;
} // namespace

bool replay(ForumStore &store, Spool &spool, const LogSink &log, quint64 *last,
            QString *error)
{
    bool ok = false;
    const quint64 mark = store.spoolMark(spool.id(), &ok);
    if (!ok) {
        *error = QStringLiteral("cannot read the spool's mark: %1").arg(store.lastError());
        return false;
    }
    QString warning;
    const QList<Spool::Record> records = spool.recordsAfter(mark, last, &warning);
    if (!warning.isEmpty())
        log(QStringLiteral("spool: %1").arg(warning));
    QHash<QString, qint64> forums;
    qint64 stored = 0;
    for (qsizetype from = 0; from < records.size(); from += batchSize) {
        const qsizetype to = std::min(records.size(), from + batchSize);
        QList<NewMessage> messages;
        for (qsizetype i = from; i < to; ++i) {
            const Spool::Record &record = records[i];
            const auto fields = requestrules::splitPost(record.request);
            const QString forum = fields ? QString::fromUtf8(fields->forum) : QString();
            if (fields && !forums.contains(forum))
                forums.insert(forum, store.forumId(forum).value_or(0));
            if (!fields || forums.value(forum) == 0) {
                log(QStringLiteral("spool: post %1 from %2 not stored: no forum \"%3\"")
                        .arg(record.sequence)
                        .arg(record.peer, forum));
                continue;
            }
            messages.append({forums.value(forum), fields->title, fields->body,
                             sanitizeHtml(fields->title), sanitizeHtml(fields->body),
                             record.arrived});
        }
        if (store.addMessages(messages, spool.id(), records[to - 1].sequence)) {
            stored += messages.size();
            continue;
        }
        if (store.lastErrorIsTransient()) {
            *error = QStringLiteral("cannot store the spool: %1").arg(store.lastError());
            return false;
        }
        // Refused for good: one by one, so that only the post refused is left out.
        for (qsizetype i = 0; i < messages.size(); ++i) {
            if (store.addMessages({messages[i]}))
                ++stored;
            else
                log(QStringLiteral("spool: a post to forum %1 not stored, the database "
                                   "refuses it: %2")
                        .arg(messages[i].forumId)
                        .arg(store.lastError()));
        }
        if (!store.addMessages({}, spool.id(), records[to - 1].sequence)) {
            *error = QStringLiteral("cannot store the spool: %1").arg(store.lastError());
            return false;
        }
    }
    if (!records.isEmpty())
        log(QStringLiteral("spool: %1 posts stored from the spool, up to %2")
                .arg(stored)
                .arg(*last));
    *last = std::max(*last, mark);
    spool.clear();
    return true;
}

} // namespace spoolreplay
