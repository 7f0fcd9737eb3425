#include "server/store/databasebackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace databasebackup {

namespace {

const QString connectionName = QStringLiteral("backup");

// fsync() of a file or folder: the copy is on the disk before it is named a backup.
bool syncPath(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return synced;
}

// Runs the copy and checks it; the message count in *messages.
bool copy(const DatabaseUrl &database, const QString &partial, qint64 *messages, QString *error)
{
    if (!database.open(connectionName, error, DatabaseUrl::Opening::ExistingOnly))
        return false;
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("VACUUM INTO ?"));
    query.addBindValue(partial);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    query.finish();
    const QString check = QStringLiteral("check");
    const DatabaseUrl copied = DatabaseUrl::sqliteFile(partial);
    if (!copied.open(check, error, DatabaseUrl::Opening::ExistingOnly))
        return false;
    {
        QSqlQuery verify(QSqlDatabase::database(check));
        if (!verify.exec(QStringLiteral("PRAGMA integrity_check")) || !verify.next()
            || verify.value(0).toString() != u"ok") {
            *error = QStringLiteral("the copy fails its integrity check: %1")
                         .arg(verify.lastError().isValid() ? verify.lastError().text()
                                                           : verify.value(0).toString());
        } else if (verify.exec(QStringLiteral("SELECT count(*) FROM messages")) && verify.next()) {
            *messages = verify.value(0).toLongLong();
        } else {
            *error = verify.lastError().text();
        }
    }
    QSqlDatabase::database(check).close();
    QSqlDatabase::removeDatabase(check);
    return error->isEmpty();
}

} // namespace

int run(const DatabaseUrl &database, const QString &file)
{
    if (database.engine != DatabaseUrl::Engine::SQLite) {
        std::fprintf(stderr, "tavernly-server: backup copies a SQLite database; back up "
                             "PostgreSQL with pg_dump\n");
        return 2;
    }
    const QFileInfo target(file);
    if (target.exists()) {
        std::fprintf(stderr, "tavernly-server: %s exists; a backup goes to a new file\n",
                     qPrintable(file));
        return 1;
    }
    const QString path = target.absoluteFilePath();
    const QString partial = path + QStringLiteral(".partial");
    QFile::remove(partial); // a backup that was interrupted
    QString error;
    qint64 messages = 0;
    bool done = copy(database, partial, &messages, &error);
    QSqlDatabase::removeDatabase(connectionName);
    if (done && (!syncPath(partial) || !QFile::rename(partial, path)
                 || !syncPath(target.absolutePath()))) {
        error = QStringLiteral("cannot write %1").arg(path);
        done = false;
    }
    if (!done) {
        QFile::remove(partial);
        std::fprintf(stderr, "tavernly-server: backup failed: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "backup of %lld messages written to %s\n", messages, qPrintable(path));
    return 0;
}

} // namespace databasebackup
