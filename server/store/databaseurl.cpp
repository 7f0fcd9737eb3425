#include "server/store/databaseurl.h"

#include "server/store/sqldialect.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

DatabaseUrl DatabaseUrl::sqliteFile(const QString &path)
{
    DatabaseUrl url;
    url.engine = Engine::SQLite;
    url.path = path;
    return url;
}

std::optional<DatabaseUrl> DatabaseUrl::parse(const QString &text, QString *error)
{
    auto fail = [&](const QString &why) -> std::optional<DatabaseUrl> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (text.startsWith(QLatin1StringView("sqlite:"))) {
        const QString path = text.mid(7);
        if (path.isEmpty())
            return fail(QStringLiteral("sqlite: needs the database file's path"));
        return sqliteFile(path);
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"postgresql" && url.scheme() != u"postgres"))
        return fail(QStringLiteral("the database must be sqlite:PATH or "
                                   "postgresql://user@host:port/dbname"));
    DatabaseUrl result;
    result.engine = Engine::PostgreSQL;
    result.host = url.host();
    result.port = url.port(5432);
    result.user = url.userName();
    result.password = url.password();
    result.name = url.path().mid(1);
    if (result.host.isEmpty() || result.user.isEmpty() || result.name.isEmpty() ||
        result.name.contains(u'/'))
        return fail(QStringLiteral("a PostgreSQL database needs a user, a host and a database "
                                   "name: postgresql://user@host:port/dbname"));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("the database address takes no options after \"?\" or \"#\""));
    return result;
}

std::optional<QString> DatabaseUrl::readPasswordFile(const QString &path, QString *error)
{
    auto fail = [&](const QString &why) -> std::optional<QString> {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return std::nullopt;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    if (file.permissions() & (QFile::ReadGroup | QFile::ReadOther))
        return fail(QStringLiteral("other users may read it; make it its owner's alone "
                                   "(chmod 600)"));
    constexpr qint64 longest = 1024;
    QByteArray text = file.read(longest + 2); // and a line end
    const bool whole = file.atEnd();
    if (text.endsWith('\n'))
        text.chop(text.endsWith("\r\n") ? 2 : 1);
    if (text.isEmpty())
        return fail(QStringLiteral("it holds no password"));
    if (!whole || text.contains('\n') || text.contains('\r') || text.size() > longest)
        return fail(QStringLiteral("a password file holds one line of at most %1 bytes")
                        .arg(longest));
    return QString::fromUtf8(text);
}

QString DatabaseUrl::display() const
{
    if (engine == Engine::SQLite)
        return QStringLiteral("sqlite:") + path;
    return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, host).arg(port).arg(name);
}

bool DatabaseUrl::open(const QString &connectionName, QString *error, Opening opening) const
{
    const SqlDialect dialect(engine);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(dialect.driver(), connectionName);
        QString why;
        if (!db.isValid()) {
            why = QStringLiteral("the Qt SQL driver %1 is not installed").arg(dialect.driver());
        } else if (engine == Engine::SQLite) {
            if (opening == Opening::ExistingOnly) {
                // SQLite's own open of an existing file, read and write, never create.
                QUrl uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
                uri.setQuery(QStringLiteral("mode=rw"));
                db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
                db.setDatabaseName(uri.toString(QUrl::FullyEncoded));
            } else {
                if (!QDir().mkpath(QFileInfo(path).absolutePath()))
                    why = QStringLiteral("cannot create the folder of %1").arg(path);
                db.setDatabaseName(path);
            }
        } else {
            db.setHostName(host);
            db.setPort(port);
            db.setUserName(user);
            db.setPassword(password);
            db.setDatabaseName(name);
            // A database that does not answer is given up on within seconds,
            // though not so soon that a busy one (a backend started on a loaded
            // machine can take over a second) is taken for lost; a connection
            // whose peer has gone silent is found out within seconds too.
            db.setConnectOptions(QStringLiteral("connect_timeout=10;keepalives=1;"
                                                "keepalives_idle=5;keepalives_interval=2;"
                                                "keepalives_count=3"));
        }
        if (why.isEmpty() && !db.open())
            why = db.lastError().text();
        if (why.isEmpty()) {
            QSqlQuery query(db);
            for (const QString &statement : dialect.sessionSetup(waitMs)) {
                if (!query.exec(statement)) {
                    why = query.lastError().text();
                    break;
                }
            }
        }
        if (why.isEmpty())
            return true;
        if (error)
            *error = QStringLiteral("cannot open the database %1: %2").arg(display(), why);
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    return false;
}
