#include "server/app/logwriter.h"

#include "server/base/mainthread.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// systemd names the stream it connected standard error to as DEVICE:INODE.
bool isJournal(const struct stat &st)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    return !stream.isEmpty()
        && stream
        == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

// What the crash handler writes out: the stage of the one writer that asked.
std::atomic<const char *> crashStage{nullptr};
std::atomic<const qsizetype *> crashStaged{nullptr};
std::atomic<int> crashFd{-1};

void onCrash(int signal)
{
    const char *stage = crashStage.load();
    const qsizetype *staged = crashStaged.load();
    if (stage && staged && *staged > 0)
        [[maybe_unused]] const auto written = ::write(crashFd.load(), stage, size_t(*staged));
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

LogWriter::LogWriter(int descriptor, QObject *parent)
    : QObject(parent), m_fd(descriptor), m_out(descriptor)
{
    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &LogWriter::flush);
        m_turns = true;
    }
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
        const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_out = own;
            m_output = Output::NonBlocking;
        }
    } // a file: writes do not block on a full reader
    if (m_output != Output::Blocking) {
        m_writable = new QSocketNotifier(m_out, QSocketNotifier::Write, this);
        m_writable->setEnabled(false);
        connect(m_writable, &QSocketNotifier::activated, this, &LogWriter::resume);
    }
}

LogWriter::~LogWriter()
{
    if (crashStage.load() == m_stage) {
        crashStage = nullptr;
        crashStaged = nullptr;
    }
    flush();
    for (int waited = 0; !m_waiting.isEmpty() && waited < 10; ++waited) {
        pollfd ready{m_out, POLLOUT, 0};
        ::poll(&ready, 1, 100);
        resume();
        flush();
    }
    if (m_out != m_fd)
        ::close(m_out);
}

void LogWriter::writeOutOnCrash()
{
    crashFd = m_out;
    crashStaged = &m_staged;
    crashStage = m_stage;
    struct sigaction action = {};
    action.sa_handler = onCrash;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        ::sigaction(signal, &action, nullptr);
}

void LogWriter::write(const QString &line)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_stamp) {
        // Formatted once a second, not once a line.
        const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
        if (now != m_second) {
            m_second = now;
            m_stampText =
                QDateTime::fromSecsSinceEpoch(now, Qt::UTC).toString(Qt::ISODate).toUtf8() + ' ';
        }
    }
    QByteArray text = line.toUtf8();
    text += '\n';
    const QByteArrayView stamp = m_stamp ? QByteArrayView(m_stampText) : QByteArrayView();
    if (m_staged + stamp.size() + text.size() > stageBytes)
        flush();
    if (stamp.size() + text.size() > stageBytes) { // a line longer than the stage: on its own
        if (!stamp.isEmpty())
            keep(stamp.constData(), stamp.size());
        keep(text.constData(), text.size());
        return;
    }
    if (!stamp.isEmpty()) // an empty view may hold no pointer, and memcpy takes none
        std::memcpy(m_stage + m_staged, stamp.constData(), size_t(stamp.size()));
    std::memcpy(m_stage + m_staged + stamp.size(), text.constData(), size_t(text.size()));
    m_staged += stamp.size() + text.size(); // only now: the crash handler sees whole lines
    if (!m_turns)
        flush(); // no loop whose turn would end
}

void LogWriter::flush()
{
    if (m_staged == 0)
        return;
    const qsizetype staged = std::exchange(m_staged, 0);
    keep(m_stage, staged);
}

// Writes what it can now; the rest waits, whole lines, as far as the bound allows.
void LogWriter::keep(const char *data, qsizetype size)
{
    if (m_waiting.isEmpty()) {
        const qsizetype sent = writeSome(data, size);
        data += sent;
        size -= sent;
        if (size == 0)
            return;
        m_writable->setEnabled(true);
        const char *end = static_cast<const char *>(std::memchr(data, '\n', size_t(size)));
        const qsizetype begun = end ? end - data + 1 : size; // the rest of a line begun goes out first
        m_waiting = QByteArray(data, begun);
        data += begun;
        size -= begun;
    }
    while (size > 0) {
        const char *end = static_cast<const char *>(std::memchr(data, '\n', size_t(size)));
        const qsizetype length = end ? end - data + 1 : size;
        if (m_waiting.size() + length > maxWaiting) {
            ++m_dropped;
            ++m_droppedTotal;
        } else {
            m_waiting.append(data, length);
        }
        data += length;
        size -= length;
    }
}

qsizetype LogWriter::writeSome(const char *data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        ssize_t n;
        if (m_output == Output::Socket)
            n = ::send(m_out, data + done, size_t(size - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        else
            n = ::write(m_out, data + done, size_t(size - done));
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
