#include "server/net/streamconnection.h"

#include "server/base/mainthread.h"

#include <QSocketNotifier>
#include <QTimerEvent>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <pthread.h>
#include <cstring>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// How long a closing connection waits for the peer to end its side, so that
// data the peer still sends does not turn our close into a reset that
// could destroy the reply in flight.
constexpr int lingerMs = 2000;
constexpr qsizetype readChunk = 64 * 1024;
constexpr int maxPiecesPerSend = 64;

thread_local int t_closesHeld = 0;

// sendfile() has no MSG_NOSIGNAL: a peer gone while a page goes out would
// kill the server with SIGPIPE. Blocked on this (the main) thread, such a
// write fails with EPIPE like every other send here.
void blockBrokenPipeSignal()
{
    static const bool blocked = [] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        return pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
    }();
    Q_UNUSED(blocked);
}

} // namespace

StreamConnection::HoldCloses::HoldCloses()
{
    ++t_closesHeld;
}

StreamConnection::HoldCloses::~HoldCloses()
{
    --t_closesHeld;
}

StreamConnection::StreamConnection(int descriptor, const QHostAddress &peer, quint16 peerPort,
                                   int requestMs, bool resetsOnClose, QObject *parent)
    : QObject(parent), m_fd(descriptor), m_resetOnClose(resetsOnClose)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    setPeer(peer, peerPort);
    m_clock.start();
    startDeadline(requestMs);
}

void StreamConnection::startDeadline(int ms)
{
    m_deadlineMs = ms;
    m_deadlineDue = m_clock.elapsed() + ms;
    if (!m_deadline.isActive() || m_timerDue > m_deadlineDue) {
        m_deadline.start(ms, this);
        m_timerDue = m_deadlineDue;
    }
}

void StreamConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_linger.timerId()) {
        m_linger.stop();
        closeNow();
    } else if (event->timerId() == m_deadline.timerId()) {
        const qint64 left = m_deadlineDue - m_clock.elapsed();
        if (left > 0) { // moved since it was armed, or a coarse timer early
            m_deadline.start(int(left), this);
            m_timerDue = m_deadlineDue;
            return;
        }
        m_deadline.stop();
        deadlineReached();
    } else {
        QObject::timerEvent(event);
    }
}

void StreamConnection::deadlineReached()
{
    if (m_closing) {
        closeNow();
        return;
    }
    if (m_idle)
        emit cutOff(QStringLiteral("idle for %1 ms after its last answer").arg(m_deadlineMs),
                    Cut::Idle);
    else
        emit cutOff(QStringLiteral("request not complete within %1 ms").arg(m_deadlineMs),
                    Cut::Deadline);
    abort();
}

StreamConnection::~StreamConnection()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        emit closed(); // the slot it held is free
    }
}

void StreamConnection::setPeer(const QHostAddress &address, quint16 port)
{
    m_peerAddress = address;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        // Every connection's, so spelled out here rather than through toString().
        const quint32 ip = address.toIPv4Address();
        char text[24];
        char *end = text;
        for (const int shift : {24, 16, 8, 0}) {
            end = std::to_chars(end, text + sizeof text, (ip >> shift) & 0xff).ptr;
            *end++ = shift > 0 ? '.' : ':';
        }
        end = std::to_chars(end, text + sizeof text, port).ptr;
        m_peer = QString::fromLatin1(text, end - text);
        return;
    }
    m_peer = (address.protocol() == QAbstractSocket::IPv6Protocol
                  ? u'[' + address.toString() + u']'
                  : address.toString())
        + u':' + QString::number(port);
}

void StreamConnection::restartDeadline(int ms)
{
    m_idle = m_input.isEmpty(); // requests sent ahead are not idleness
    startDeadline(ms);
}

void StreamConnection::readNow()
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_fd >= 0 && !m_inputEnded)
        onReadable();
}

void StreamConnection::onReadable()
{
    bool grew = false;
    char buffer[readChunk];
    // A few chunks at most, so that one fast sender does not hold up the others.
    for (int round = 0; round < 4; ++round) {
        if (m_inputLimit > 0 && m_input.size() >= m_inputLimit) {
            m_readingPaused = true;
            watchInput(false);
            break;
        }
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        m_inputDrained = got >= 0 && got < qsizetype(sizeof buffer);
        if (got > 0) {
            m_idle = false;
            if (!m_closing)
                m_input.append(buffer, got);
            grew = true;
            if (m_shortReadEnds && m_inputDrained)
                break;
            continue; // the sender's end often came with its last data
        }
        if (got == 0) {
            m_inputEnded = true;
            watchInput(false);
            if (m_closing && pendingOutput() == 0) {
                closeNow();
                return;
            }
            grew = true;
            break;
        }
        if (errno == EINTR) {
            --round;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_inputDrained = true;
            break;
        }
        fail(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (grew && !m_closing)
        emit readyRead();
    // After the handler: a request answered and closed at once is never watched.
    if (m_fd >= 0 && !m_inputEnded && !m_readingPaused)
        watchInput(true);
}

void StreamConnection::watchInput(bool watch)
{
    // A request that came whole with the connection never needs a notifier.
    if (watch && !m_readNotifier) {
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &StreamConnection::onReadable);
    }
    if (m_readNotifier)
        m_readNotifier->setEnabled(watch);
}

void StreamConnection::inputTaken()
{
    if (!m_readingPaused || m_fd < 0 || m_input.size() >= m_inputLimit)
        return;
    m_readingPaused = false;
    watchInput(true); // what waits in the system is announced again
}

void StreamConnection::queue(Piece piece)
{
    if (piece.size <= 0)
        return;
    m_pendingOutput += piece.size;
    m_output.append(std::move(piece));
}

void StreamConnection::write(const QByteArray &bytes, const QByteArray &more)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_fd < 0)
        return;
    for (const QByteArray &piece : {bytes, more})
        queue({piece, {}, -1, 0, piece.size()});
    // While the peer's window is shut, the next writable notice sends it all.
    if (m_writeNotifier && m_writeNotifier->isEnabled())
        return;
    flush();
}

void StreamConnection::write(const QByteArray &bytes, int fd, qint64 offset, qint64 size,
                             std::shared_ptr<const void> file)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    if (m_fd < 0)
        return;
    blockBrokenPipeSignal();
    queue({bytes, {}, -1, 0, bytes.size()});
    queue({{}, std::move(file), fd, offset, size});
    if (m_writeNotifier && m_writeNotifier->isEnabled())
        return;
    flush();
}

// The rest of a file piece; false when the call failed (errno says why).
bool StreamConnection::sendFile(const Piece &piece, qint64 *sent)
{
    off_t from = off_t(piece.offset + m_written);
    const ssize_t n = ::sendfile(m_fd, piece.fd, &from, size_t(piece.size - m_written));
    *sent = n;
    return n >= 0;
}

void StreamConnection::flush()
{
    while (m_fd >= 0 && !m_output.isEmpty()) {
        ssize_t sent = 0;
        if (m_output.first().fd >= 0) {
            qint64 done = 0;
            sent = sendFile(m_output.first(), &done) ? ssize_t(done) : -1;
        } else {
            // Every piece of bytes waiting in one call: an answer's headers and
            // its page together; with more to come from a file, held back
            // until it follows, so that they leave in one segment.
            iovec pieces[maxPiecesPerSend];
            int count = 0;
            bool fileFollows = false;
            for (const Piece &piece : std::as_const(m_output)) {
                if (piece.fd >= 0) {
                    fileFollows = true;
                    break;
                }
                const qsizetype skip = count == 0 ? m_written : 0;
                pieces[count].iov_base = const_cast<char *>(piece.bytes.constData() + skip);
                pieces[count].iov_len = size_t(piece.size - skip);
                if (++count == maxPiecesPerSend)
                    break;
            }
            msghdr message{};
            message.msg_iov = pieces;
            message.msg_iovlen = size_t(count);
            sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | (fileFollows ? MSG_MORE : 0));
        }
        if (sent > 0) {
            m_pendingOutput -= sent;
            while (sent > 0) {
                const qint64 left = m_output.first().size - m_written;
                if (sent < left) {
                    m_written += sent;
                    break;
                }
                sent -= left;
                m_output.removeFirst();
                m_written = 0;
            }
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!m_writeNotifier) {
                m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
                connect(m_writeNotifier, &QSocketNotifier::activated, this,
                        &StreamConnection::flush);
            }
            m_writeNotifier->setEnabled(true);
            m_waitedToWrite = true;
            return;
        }
        fail(sent == 0 ? QStringLiteral("the page file ended early")
                       : QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (m_fd < 0)
        return;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_closing) {
        // The peer has ended its side and nothing of it is unread: the close
        // itself sends our end, without a shutdown before it.
        if (m_inputEnded || (m_closeAtOnce && m_inputDrained && m_input.isEmpty())) {
            if (t_closesHeld > 0)
                m_linger.start(0, this); // on the loop's next turn
            else
                closeNow();
            return;
        }
        ::shutdown(m_fd, SHUT_WR);
        m_input.clear();
        m_linger.start(lingerMs, this);
        return;
    }
    // Not when a write went out at once: its writer is still at work.
    if (m_waitedToWrite) {
        m_waitedToWrite = false;
        emit drained();
    }
}

void StreamConnection::closeWhenWritten()
{
    if (m_fd < 0 || m_closing)
        return;
    m_closing = true;
    m_finished = true;
    flush();
}

void StreamConnection::closeWhenWrittenAndRead()
{
    m_closeAtOnce = true;
    closeWhenWritten();
}

void StreamConnection::abort()
{
    closeNow();
}

void StreamConnection::reset()
{
    setResetOnClose(true);
    closeNow();
}

void StreamConnection::setResetOnClose(bool on)
{
    if (m_fd < 0 || on == m_resetOnClose)
        return;
    m_resetOnClose = on;
    const linger hard{on ? 1 : 0, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

bool StreamConnection::makeRoom()
{
    readNow();
    if (m_fd < 0 || m_finished)
        return false;
    emit cutOff(QStringLiteral("cut off after %1 ms to make room for a new connection")
                    .arg(age()), Cut::Room);
    abort();
    return true;
}

void StreamConnection::fail(const QString &why)
{
    closeNow();
    emit lost(why);
}

void StreamConnection::closeNow()
{
    if (m_fd < 0)
        return;
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
    m_deadline.stop();
    m_linger.stop();
    emit closed();
    deleteLater();
}
