#include "server/app/inheritedsockets.h"

#include <QStringList>
#include <fcntl.h>
#include <unistd.h>

namespace inheritedsockets {

namespace {
constexpr int firstDescriptor = 3; // after standard input, output and error
}

bool isPortName(const QString &name)
{
    return name == u"list" || name == u"create" || name == u"post" || name == u"pages";
}

bool take(QHash<QString, int> *byName, QString *error)
{
    byName->clear();
    const QString pid = qEnvironmentVariable("LISTEN_PID");
    const QString count = qEnvironmentVariable("LISTEN_FDS");
    const QStringList names =
        qEnvironmentVariable("LISTEN_FDNAMES").split(u':', Qt::SkipEmptyParts);
    for (const char *name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        qunsetenv(name);
    // Meant for another process (a parent that started this one) or nobody.
    if (count.isEmpty() || pid.toLongLong() != ::getpid())
        return true;
    bool ok = false;
    const int descriptors = count.toInt(&ok);
    const auto fail = [error](const QString &why) {
        *error = why;
        return false;
    };
    if (!ok || descriptors < 0)
        return fail(QStringLiteral("LISTEN_FDS is not a count: %1").arg(count));
    if (names.size() != descriptors)
        return fail(QStringLiteral("%1 sockets passed with %2 names (FileDescriptorName=): "
                                   "each needs one of list, create, post, pages")
                        .arg(descriptors)
                        .arg(names.size()));
    for (int i = 0; i < descriptors; ++i) {
        const QString &name = names.at(i);
        if (!isPortName(name))
            return fail(QStringLiteral("a socket named \"%1\": the names are list, create, "
                                       "post and pages").arg(name));
        if (byName->contains(name))
            return fail(QStringLiteral("two sockets named \"%1\"").arg(name));
        const int fd = firstDescriptor + i;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0)
            return fail(QStringLiteral("the socket named \"%1\" is not open").arg(name));
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        byName->insert(name, fd);
    }
    return true;
}

} // namespace inheritedsockets
