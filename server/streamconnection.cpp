#include "server/streamconnection.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a closing connection waits for the peer to end its side, so that
// data the peer still sends does not turn our close into a reset that
// could destroy the reply in flight.
constexpr int lingerMs = 2000;
constexpr qsizetype readChunk = 64 * 1024;

} // namespace

StreamConnection::StreamConnection(int descriptor, const QString &peer, int requestMs,
                                   QObject *parent)
    : QObject(parent), m_fd(descriptor), m_peer(peer)
{
    m_clock.start();
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &StreamConnection::onReadable);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_closing) {
            closeNow();
            return;
        }
        emit cutOff(QStringLiteral("request not complete within %1 ms")
                        .arg(m_deadline.interval()));
        abort();
    });
    m_deadline.start(requestMs);
    m_linger.setSingleShot(true);
    connect(&m_linger, &QTimer::timeout, this, &StreamConnection::closeNow);
}

StreamConnection::~StreamConnection()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        emit closed(); // the slot it held is free
    }
}

void StreamConnection::restartDeadline(int ms)
{
    m_deadline.start(ms);
}

void StreamConnection::readNow()
{
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
            m_readNotifier->setEnabled(false);
            break;
        }
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            if (!m_closing)
                m_input.append(buffer, got);
            grew = true;
            continue; // the sender's end often came with its last data
        }
        if (got == 0) {
            m_inputEnded = true;
            m_readNotifier->setEnabled(false);
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
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        fail(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (grew && !m_closing)
        emit readyRead();
}

void StreamConnection::inputTaken()
{
    if (!m_readingPaused || m_fd < 0 || m_input.size() >= m_inputLimit)
        return;
    m_readingPaused = false;
    m_readNotifier->setEnabled(true); // what waits in the system is announced again
}

void StreamConnection::write(const QByteArray &bytes)
{
    if (m_fd < 0 || bytes.isEmpty())
        return;
    if (m_written > 0 && m_written == m_output.size()) {
        m_output.clear();
        m_written = 0;
    }
    m_output += bytes;
    flush();
}

void StreamConnection::flush()
{
    while (m_fd >= 0 && m_written < m_output.size()) {
        const ssize_t sent = ::send(m_fd, m_output.constData() + m_written,
                                    size_t(m_output.size() - m_written), MSG_NOSIGNAL);
        if (sent > 0) {
            m_written += sent;
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
        fail(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (m_fd < 0)
        return;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_output.clear();
    m_written = 0;
    if (m_closing) {
        ::shutdown(m_fd, SHUT_WR);
        if (m_inputEnded) {
            closeNow();
            return;
        }
        m_input.clear();
        m_linger.start(lingerMs);
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

void StreamConnection::abort()
{
    closeNow();
}

bool StreamConnection::makeRoom()
{
    readNow();
    if (m_fd < 0 || m_finished)
        return false;
    emit cutOff(QStringLiteral("cut off after %1 ms to make room for a new connection")
                    .arg(age()));
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
