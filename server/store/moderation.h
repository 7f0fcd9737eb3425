#pragma once
// Moderation from the command line: a message is hidden from every page (and
// from its forum's count) or shown again, never deleted. Messages are named
// by their number in their forum, as each page's anchors show it ("m3").

#include "server/store/databaseurl.h"

#include <QString>
#include <QStringList>

class ForumStore;

namespace moderation {

enum class Result { Changed, AlreadySo, NoForum, NoMessage, Failed };

// Hides message `number` of `forum`, or shows it again, noting who did it in
// the same transaction. On PostgreSQL every server hears of it at the commit.
Result setHidden(ForumStore &store, const QString &forum, qint64 number, bool hidden,
                 const QString &who, QString *error);

// The user running this program, as the moderation notes name them.
QString operatorName();

// "hide FORUM NUMBER" or "unhide FORUM NUMBER" against the database the
// servers use; what happened goes to standard error. The exit status: 0 done
// (or already so), 1 no such forum or message, or the database failed,
// 2 a command this program does not know.
int run(const QStringList &arguments, const DatabaseUrl &database);

} // namespace moderation
