#include "server/store/moderation.h"

#include "server/store/forumstore.h"
#include "server/store/sqldialect.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>

#include <pwd.h>
#include <unistd.h>

namespace moderation {

Result setHidden(ForumStore &store, const QString &forum, qint64 number, bool hidden,
                 const QString &who, QString *error)
{
    QSqlDatabase db = store.database();
    QSqlQuery query(db);
    const auto fail = [&](const QSqlError &why) {
        *error = why.text();
        db.rollback();
        return Result::Failed;
    };
    if (!db.transaction())
        return fail(db.lastError());
    query.prepare(QStringLiteral("SELECT id FROM forums WHERE name = ?"));
    query.addBindValue(forum);
    if (!query.exec())
        return fail(query.lastError());
    if (!query.next()) {
        db.rollback();
        return Result::NoForum;
    }
    const qint64 forumId = query.value(0).toLongLong();
    query.prepare(QStringLiteral("UPDATE messages SET hidden = ? "
                                 "WHERE forum = ? AND number = ? AND hidden <> ?"));
    query.addBindValue(hidden ? 1 : 0);
    query.addBindValue(forumId);
    query.addBindValue(number);
    query.addBindValue(hidden ? 1 : 0);
    if (!query.exec())
        return fail(query.lastError());
    if (query.numRowsAffected() == 0) {
        query.prepare(QStringLiteral("SELECT 1 FROM messages WHERE forum = ? AND number = ?"));
        query.addBindValue(forumId);
        query.addBindValue(number);
        if (!query.exec())
            return fail(query.lastError());
        const bool exists = query.next();
        db.rollback();
        return exists ? Result::AlreadySo : Result::NoMessage;
    }
    query.prepare(QStringLiteral("UPDATE forums SET message_count = message_count + ? "
                                 "WHERE id = ?"));
    query.addBindValue(hidden ? -1 : 1);
    query.addBindValue(forumId);
    if (!query.exec())
        return fail(query.lastError());
    query.prepare(QStringLiteral("INSERT INTO moderation (forum, number, hidden, by_user, at) "
                                 "VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(forumId);
    query.addBindValue(number);
    query.addBindValue(hidden ? 1 : 0);
    query.addBindValue(who);
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!query.exec())
        return fail(query.lastError());
    const QString notify = SqlDialect(store.engine()).notifyChanges({forumId});
    if (!notify.isEmpty() && !query.exec(notify))
        return fail(query.lastError());
    if (!db.commit())
        return fail(db.lastError());
    return Result::Changed;
}

QString operatorName()
{
    const passwd *user = ::getpwuid(::getuid());
    QString name = user ? QString::fromLocal8Bit(user->pw_name)
                        : QStringLiteral("uid %1").arg(::getuid());
    const QString sudoUser = qEnvironmentVariable("SUDO_USER");
    if (::getuid() == 0 && !sudoUser.isEmpty())
        name = QStringLiteral("%1 (through sudo)").arg(sudoUser);
    return name;
}

int run(const QStringList &arguments, const DatabaseUrl &database)
{
    const QString command = arguments.value(0);
    bool ok = false;
    const qint64 number = arguments.value(2).toLongLong(&ok);
    if ((command != u"hide" && command != u"unhide") || arguments.size() != 3 || !ok
        || number < 1) {
        std::fprintf(stderr, "tavernly-server: usage: tavernly-server hide|unhide FORUM NUMBER "
                             "(NUMBER from 1, as the page's anchor mNUMBER shows it)\n");
        return 2;
    }
    // A mistyped --data must not leave a new, empty database behind.
    if (database.engine == DatabaseUrl::Engine::SQLite && !QFileInfo::exists(database.path)) {
        std::fprintf(stderr, "tavernly-server: there is no database at %s\n",
                     qPrintable(database.path));
        return 1;
    }
    ForumStore store;
    QString error;
    if (!store.open(database, &error)) {
        std::fprintf(stderr, "tavernly-server: %s\n", qPrintable(error));
        return 1;
    }
    const bool hide = command == u"hide";
    const QString forum = arguments.at(1);
    const QString who = operatorName();
    const QString message = QStringLiteral("message %1 of \"%2\"").arg(number).arg(forum);
    switch (setHidden(store, forum, number, hide, who, &error)) {
    case Result::Changed:
        std::fprintf(stderr, "tavernly-server: %s %s by %s\n", qPrintable(message),
                     hide ? "hidden" : "shown again", qPrintable(who));
        return 0;
    case Result::AlreadySo:
        std::fprintf(stderr, "tavernly-server: %s was already %s; nothing changed\n",
                     qPrintable(message), hide ? "hidden" : "shown");
        return 0;
    case Result::NoForum:
        std::fprintf(stderr, "tavernly-server: there is no forum \"%s\"\n", qPrintable(forum));
        return 1;
    case Result::NoMessage:
        std::fprintf(stderr, "tavernly-server: \"%s\" has no message %lld\n", qPrintable(forum),
                     static_cast<long long>(number));
        return 1;
    case Result::Failed:
        std::fprintf(stderr, "tavernly-server: %s not changed: %s\n", qPrintable(message),
                     qPrintable(error));
        return 1;
    }
    return 1;
}

} // namespace moderation
