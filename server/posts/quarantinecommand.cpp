#include "server/posts/quarantinecommand.h"

#include "server/base/logsink.h"
#include "server/posts/quarantine.h"
#include "server/posts/sanitizer.h"
#include "server/store/forumstore.h"
#include "server/wire/requestrules.h"

#include <QDateTime>
#include <cstdio>

namespace quarantinecommand {

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

QString describe(const Quarantine::Entry &entry)
{
    const auto fields = requestrules::splitPost(entry.request);
    return QStringLiteral("%1 %2 %3 from %4 to \"%5\", %6 bytes: %7")
        .arg(entry.spoolId)
        .arg(entry.sequence)
        .arg(QDateTime::fromMSecsSinceEpoch(entry.arrived).toString(Qt::ISODateWithMs),
             entry.peer, fields ? logtext::printable(fields->forum) : QString())
        .arg(entry.request.size())
        .arg(entry.why.simplified());
}

// Each restored post leaves a mark of its own in the same transaction, so a
// restore cut short before the file is rewritten stores nothing twice.
QString markOf(const Quarantine::Entry &entry)
{
    return QStringLiteral("quarantine %1 %2").arg(entry.spoolId).arg(entry.sequence);
}

int restore(const Quarantine &quarantine, const QList<Quarantine::Entry> &entries,
            const DatabaseUrl &database)
{
    ForumStore store;
    QString error;
    if (!store.open(database, &error)) {
        say(error);
        return 1;
    }
    QList<Quarantine::Entry> kept;
    qint64 restored = 0;
    bool failing = false;
    for (const Quarantine::Entry &entry : entries) {
        bool read = false;
        const quint64 mark = failing ? 0 : store.spoolMark(markOf(entry), &read);
        const auto fields = requestrules::splitPost(entry.request);
        const QString forum = fields ? QString::fromUtf8(fields->forum) : QString();
        const std::optional<qint64> id = read && mark == 0 && fields
            ? store.forumId(forum, &read)
            : std::nullopt;
        QString why;
        if (read && mark != 0) {
            ++restored; // by a restore that ended before rewriting the file
            continue;
        }
        if (!read) {
            why = store.lastError();
            failing = true; // the rest is kept as it is
        } else if (!id) {
            why = QStringLiteral("no forum \"%1\"").arg(forum);
        } else if (store.addMessages({{*id, fields->title, fields->body,
                                       sanitizeHtml(fields->title), sanitizeHtml(fields->body),
                                       entry.arrived}},
                                     markOf(entry), entry.sequence)) {
            say(QStringLiteral("restored: %1").arg(describe(entry)));
            ++restored;
            continue;
        } else {
            why = store.lastError();
        }
        say(QStringLiteral("kept: %1 (%2)").arg(describe(entry), why.simplified()));
        kept.append(entry);
    }
    if (!quarantine.replace(kept, &error)) {
        say(error);
        return 1;
    }
    say(QStringLiteral("%1 posts restored, %2 kept in %3")
            .arg(restored)
            .arg(kept.size())
            .arg(quarantine.path()));
    return kept.isEmpty() ? 0 : 1;
}

} // namespace

int run(const QStringList &arguments, const QString &dataDir, const DatabaseUrl &database)
{
    const Quarantine quarantine(dataDir);
    const bool restoring = arguments == QStringList{QStringLiteral("quarantine"),
                                                    QStringLiteral("restore")};
    if (!restoring && arguments != QStringList{QStringLiteral("quarantine")}) {
        say(QStringLiteral("tavernly-server: quarantine takes nothing more, or restore"));
        return 2;
    }
    // Held to the end: a server quarantining meanwhile waits for the file.
    const Quarantine::Lock lock(quarantine);
    QString warning;
    const QList<Quarantine::Entry> entries = quarantine.entries(&warning);
    if (!warning.isEmpty())
        say(warning);
    if (restoring)
        return restore(quarantine, entries, database);
    for (const Quarantine::Entry &entry : entries)
        std::printf("%s\n", qPrintable(describe(entry)));
    say(QStringLiteral("%1 posts in %2").arg(entries.size()).arg(quarantine.path()));
    return 0;
}

} // namespace quarantinecommand
