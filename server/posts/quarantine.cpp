#include "server/posts/quarantine.h"

#include "server/posts/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray encode(const Quarantine::Entry &entry)
{
    return "post " + entry.spoolId.toUtf8().toPercentEncoding() + ' '
        + QByteArray::number(entry.sequence) + ' ' + QByteArray::number(entry.arrived) + ' '
        + QByteArray::number(entry.request.size()) + ' '
        + entry.peer.toUtf8().toPercentEncoding() + ' '
        + entry.why.toUtf8().toPercentEncoding() + '\n' + entry.request + '\n';
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return durablefile::writeAll(fd, bytes.constData(), bytes.size());
}

} // namespace

Quarantine::Quarantine(const QString &dataDir)
    : m_path(QDir(dataDir).filePath(QStringLiteral("quarantine.posts"))),
      m_lockPath(QDir(dataDir).filePath(QStringLiteral("quarantine.lock")))
{
}

Quarantine::Lock::Lock(const Quarantine &quarantine)
{
    m_fd = ::open(QFile::encodeName(quarantine.m_lockPath).constData(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

Quarantine::Lock::~Lock()
{
    if (m_fd >= 0)
        ::close(m_fd); // lets the lock go
}

bool Quarantine::add(const Entry &entry, QString *error) const
{
    const Lock lock(*this);
    if (!lock.isHeld()) {
        *error = QStringLiteral("%1: cannot take its lock: %2")
                     .arg(m_lockPath, durablefile::errnoText());
        return false;
    }
    const bool existed = QFile::exists(m_path);
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(m_path, durablefile::errnoText());
        return false;
    }
    struct stat before{};
    const bool measured = ::fstat(fd, &before) == 0;
    const bool done = measured && writeAll(fd, encode(entry)) && ::fdatasync(fd) == 0;
    if (!done) {
        *error = QStringLiteral("%1: %2").arg(m_path, durablefile::errnoText());
        // A torn entry would hide every later one: the file goes back to its length.
        if (measured && ::ftruncate(fd, before.st_size) == 0)
            ::fdatasync(fd);
    }
    ::close(fd);
    if (done && !existed)
        durablefile::syncFolder(QFileInfo(m_path).path());
    return done;
}

QList<Quarantine::Entry> Quarantine::entries(QString *warning) const
{
    QList<Entry> entries;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    // Quarantined posts are few and each under 64 KiB: the file is read whole.
    const QByteArray data = file.readAll();
    qsizetype at = 0;
    while (at < data.size()) {
        const qsizetype lineEnd = data.indexOf('\n', at);
        const QList<QByteArray> fields =
            lineEnd < 0 ? QList<QByteArray>() : data.mid(at, lineEnd - at).split(' ');
        bool ok = fields.size() == 7 && fields[0] == "post";
        Entry entry;
        qsizetype size = 0;
        if (ok) {
            entry.spoolId = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[1]));
            entry.sequence = fields[2].toULongLong(&ok);
        }
        if (ok)
            entry.arrived = fields[3].toLongLong(&ok);
        if (ok)
            size = fields[4].toLongLong(&ok);
        ok = ok && size >= 0 && lineEnd + 1 + size < data.size()
            && data[lineEnd + 1 + size] == '\n';
        if (!ok) {
            if (warning)
                *warning = QStringLiteral("%1: %2 bytes at the end ignored (a torn entry)")
                               .arg(m_path)
                               .arg(data.size() - at);
            break;
        }
        entry.peer = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[5]));
        entry.why = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[6]));
        entry.request = data.mid(lineEnd + 1, size);
        entries.append(std::move(entry));
        at = lineEnd + 1 + size + 1;
    }
    return entries;
}

bool Quarantine::replace(const QList<Entry> &entries, QString *error) const
{
    QByteArray all;
    for (const Entry &entry : entries)
        all += encode(entry);
    const QString fresh = m_path + QStringLiteral(".new");
    const int fd = ::open(QFile::encodeName(fresh).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool done = fd >= 0 && writeAll(fd, all) && ::fsync(fd) == 0;
    if (!done)
        *error = QStringLiteral("%1: %2").arg(fresh, durablefile::errnoText());
    if (fd >= 0)
        ::close(fd);
    if (done && ::rename(QFile::encodeName(fresh).constData(),
                         QFile::encodeName(m_path).constData()) != 0) {
        *error = QStringLiteral("%1: %2").arg(m_path, durablefile::errnoText());
        return false;
    }
    if (done)
        durablefile::syncFolder(QFileInfo(m_path).path());
    return done;
}
