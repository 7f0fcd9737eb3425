#include "server/posts/spool.h"

#include "server/posts/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr qsizetype headBytes = 4;              // the length
constexpr qsizetype fixedBytes = 8 + 8 + 2;     // sequence, arrival, peer length
constexpr quint32 longestRecord = 1024 * 1024;  // far above a post; a longer length is damage

using durablefile::errnoText;
using durablefile::syncFolder;
using durablefile::writeAll;

} // namespace

Spool::~Spool()
{
    closeSegment();
    if (m_lock >= 0)
        ::close(m_lock);
}

Spool::Spool(Spool &&other) noexcept
    : m_folder(std::move(other.m_folder)), m_id(std::move(other.m_id)), m_lock(other.m_lock),
      m_segment(other.m_segment), m_segmentFirst(other.m_segmentFirst),
      m_segmentSize(other.m_segmentSize), m_appendedUpTo(other.m_appendedUpTo)
{
    other.m_lock = -1;
    other.m_segment = -1;
}

bool Spool::open(const QString &folder, QString *error)
{
    auto fail = [&](const QString &why) {
        *error = QStringLiteral("spool %1: %2").arg(folder, why);
        return false;
    };
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create the folder"));
    m_folder = folder;
    m_lock = ::open(QFile::encodeName(QDir(folder).filePath(QStringLiteral("lock"))).constData(),
                    O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0)
        return fail(errnoText());
    if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0)
        return fail(QStringLiteral("another process uses it"));
    QFile idFile(QDir(folder).filePath(QStringLiteral("id")));
    if (idFile.open(QIODevice::ReadOnly)) {
        m_id = QString::fromLatin1(idFile.readAll().trimmed());
        if (m_id.isEmpty())
            return fail(QStringLiteral("its id file is empty"));
        return true;
    }
    // Made once, and flushed with its folder before any record counts on it.
    m_id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString fresh = idFile.fileName() + QStringLiteral(".new");
    const int fd = ::open(QFile::encodeName(fresh).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const QByteArray text = m_id.toLatin1() + '\n';
    if (fd < 0 || !writeAll(fd, text.constData(), text.size()) || ::fsync(fd) != 0) {
        const QString why = errnoText();
        if (fd >= 0)
            ::close(fd);
        return fail(why);
    }
    ::close(fd);
    if (::rename(QFile::encodeName(fresh).constData(),
                 QFile::encodeName(idFile.fileName()).constData()) != 0)
        return fail(errnoText());
    syncFolder(folder);
    return true;
}

QList<quint64> Spool::segments() const
{
    QList<quint64> firsts;
    const QStringList names =
        QDir(m_folder).entryList({QStringLiteral("*.seg")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        bool ok = false;
        const quint64 first = name.chopped(4).toULongLong(&ok);
        if (ok)
            firsts.append(first);
    }
    std::sort(firsts.begin(), firsts.end());
    return firsts;
}

QString Spool::segmentPath(quint64 first) const
{
    return QDir(m_folder).filePath(QStringLiteral("%1.seg").arg(first, 20, 10, QLatin1Char('0')));
}

QByteArray Spool::encode(const Record &record)
{
    const QByteArray peer = record.peer.toUtf8().left(255);
    const quint32 length = quint32(fixedBytes + peer.size() + record.request.size());
    QByteArray out(headBytes + length + 4, Qt::Uninitialized);
    char *at = out.data();
    qToLittleEndian(length, at);
    qToLittleEndian(record.sequence, at + 4);
    qToLittleEndian(record.arrived, at + 12);
    qToLittleEndian(quint16(peer.size()), at + 20);
    std::memcpy(at + 22, peer.constData(), size_t(peer.size()));
    std::memcpy(at + 22 + peer.size(), record.request.constData(), size_t(record.request.size()));
    const quint32 crc = quint32(::crc32(0, reinterpret_cast<const Bytef *>(at + 4), length));
    qToLittleEndian(crc, at + 4 + length);
    return out;
}

QList<Spool::Record> Spool::segment(quint64 first, QString *warning) const
{
    QList<Record> records;
    QFile file(segmentPath(first));
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QByteArray data = file.readAll();
    qsizetype at = 0;
    while (at < data.size()) {
        const char *p = data.constData() + at;
        const qsizetype left = data.size() - at;
        const quint32 length = left >= headBytes ? qFromLittleEndian<quint32>(p) : 0;
        if (length < fixedBytes || length > longestRecord || left < headBytes + length + 4
            || qFromLittleEndian<quint32>(p + 4 + length)
                != quint32(::crc32(0, reinterpret_cast<const Bytef *>(p + 4), length))) {
            // Torn by a kill as it was written (never acknowledged), or damaged.
            *warning = QStringLiteral("%1: %2 bytes at the end ignored (a torn record)")
                           .arg(file.fileName())
                           .arg(left);
            break;
        }
        Record record;
        record.sequence = qFromLittleEndian<quint64>(p + 4);
        record.arrived = qFromLittleEndian<qint64>(p + 12);
        const quint16 peerLength = qFromLittleEndian<quint16>(p + 20);
        if (fixedBytes + peerLength > length)
            break;
        record.peer = QString::fromUtf8(p + 22, peerLength);
        record.request = QByteArray(p + 22 + peerLength, length - fixedBytes - peerLength);
        records.append(std::move(record));
        at += headBytes + length + 4;
    }
    std::sort(records.begin(), records.end(),
              [](const Record &a, const Record &b) { return a.sequence < b.sequence; });
    return records;
}

void Spool::closeSegment()
{
    if (m_segment >= 0)
        ::close(m_segment);
    m_segment = -1;
}

bool Spool::append(const QByteArray &records, quint64 first, quint64 last, QString *error)
{
    if (m_segment >= 0 && m_segmentSize >= segmentBytes)
        closeSegment();
    if (m_segment < 0) {
        // Always a new segment: a torn end of an older one stays behind it.
        m_segment = ::open(QFile::encodeName(segmentPath(first)).constData(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (m_segment < 0) {
            *error = errnoText();
            return false;
        }
        m_segmentFirst = first;
        m_segmentSize = 0;
        syncFolder(m_folder);
    }
    if (!writeAll(m_segment, records.constData(), records.size())
        || ::fdatasync(m_segment) != 0) {
        *error = errnoText();
        // Their senders are told they are refused: whatever of them reached
        // the file goes, or a start would store them all the same.
        if (::ftruncate(m_segment, m_segmentSize) != 0 || ::fdatasync(m_segment) != 0)
            *error += QStringLiteral("; nor could the segment be cut back: %1").arg(errnoText());
        closeSegment(); // the next append starts a fresh segment
        return false;
    }
    m_segmentSize += records.size();
    m_appendedUpTo = last;
    return true;
}

qint64 Spool::trim(quint64 storedUpTo)
{
    qint64 freed = 0;
    const QList<quint64> firsts = segments();
    // A segment is wholly stored once the next one starts at or below the
    // mark's successor; the last one (the one appended to) stays.
    for (qsizetype i = 0; i + 1 < firsts.size() && firsts[i + 1] <= storedUpTo + 1; ++i) {
        const QString path = segmentPath(firsts[i]);
        const qint64 size = QFileInfo(path).size();
        if (QFile::remove(path))
            freed += size;
    }
    // After a failed write no segment is open: once all on the disk is
    // stored, the last one goes too. On a full disk it is what leaves room
    // for the next segment to be made.
    if (m_segment < 0 && m_appendedUpTo > 0 && m_appendedUpTo <= storedUpTo) {
        for (quint64 first : segments()) {
            const QString path = segmentPath(first);
            const qint64 size = QFileInfo(path).size();
            if (QFile::remove(path))
                freed += size;
        }
    }
    return freed;
}

void Spool::clear()
{
    closeSegment();
    for (quint64 first : segments())
        QFile::remove(segmentPath(first));
    syncFolder(m_folder);
}

qint64 Spool::bytes() const
{
    qint64 total = 0;
    for (quint64 first : segments())
        total += QFileInfo(segmentPath(first)).size();
    return total;
}
