#include "server/app/logwriter.h"

#include "server/base/mainthread.h"

#include <QDateTime>
#include <QSocketNotifier>

#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// systemd names the stream it connected standard error to as DEVICE:INODE.
bool isJournal(const struct stat &st)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    return !stream.isEmpty()
        && stream == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

} // namespace

LogWriter::LogWriter(int descriptor, QObject *parent) : QObject(parent), m_fd(descriptor)
{
    struct stat st{};
    if (::fstat(m_fd, &st) != 0)
        return;
    m_stamp = !isJournal(st);
    if (S_ISSOCK(st.st_mode)) {
        m_output = Output::Socket; // sent without waiting, descriptor flags untouched
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A pipe or terminal opened anew is a description of our own: made
        // non-blocking, it changes nothing for the others sharing the original.
        const QByteArray path = "/proc/self/fd/" + QByteArray::number(m_fd);
        m_own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (m_own >= 0)
            m_output = Output::NonBlocking;
    } // a file: writes do not block on a full reader
    if (m_output != Output::Blocking) {
        m_writable = new QSocketNotifier(m_own >= 0 ? m_own : m_fd, QSocketNotifier::Write, this);
        m_writable->setEnabled(false);
        connect(m_writable, &QSocketNotifier::activated, this, &LogWriter::resume);
    }
}

LogWriter::~LogWriter()
{
    for (int waited = 0; !m_waiting.isEmpty() && waited < 10; ++waited) {
        pollfd ready{m_own >= 0 ? m_own : m_fd, POLLOUT, 0};
        ::poll(&ready, 1, 100);
        resume();
    }
    if (m_own >= 0)
        ::close(m_own);
}

void LogWriter::write(const QString &line)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    QByteArray bytes;
    if (m_stamp) {
        // Formatted once a second, not once a line.
        const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
        if (now != m_second) {
            m_second = now;
            m_stampText =
                QDateTime::fromSecsSinceEpoch(now, Qt::UTC).toString(Qt::ISODate).toUtf8() + ' ';
        }
        bytes = m_stampText;
    }
    bytes += line.toUtf8();
    bytes += '\n';
    send(bytes);
}

void LogWriter::send(const QByteArray &bytes)
{
    if (!m_waiting.isEmpty()) {
        if (m_waiting.size() + bytes.size() > maxWaiting) {
            ++m_dropped;
            ++m_droppedTotal;
        } else {
            m_waiting += bytes;
        }
        return;
    }
    const qsizetype sent = writeSome(bytes.constData(), bytes.size());
    if (sent < bytes.size()) {
        m_waiting = bytes.mid(sent); // the rest of the line goes out first
        m_writable->setEnabled(true);
    }
}

qsizetype LogWriter::writeSome(const char *data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        ssize_t n;
        if (m_output == Output::Socket)
            n = ::send(m_fd, data + done, size_t(size - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        else
            n = ::write(m_own >= 0 ? m_own : m_fd, data + done, size_t(size - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_writable) {
            break;
        } else {
            return size; // nowhere to write to: nothing to keep
        }
    }
    return done;
}

void LogWriter::resume()
{
    const qsizetype sent = writeSome(m_waiting.constData(), m_waiting.size());
    m_waiting.remove(0, sent);
    if (!m_waiting.isEmpty())
        return;
    m_writable->setEnabled(false);
    if (m_dropped > 0) {
        const qint64 dropped = std::exchange(m_dropped, 0);
        write(QStringLiteral("log: %1 lines dropped while the output was blocked").arg(dropped));
    }
}
