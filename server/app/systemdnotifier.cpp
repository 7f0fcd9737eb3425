#include "server/app/systemdnotifier.h"

#include "server/base/mainthread.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr int statusCheckMs = 2000;
constexpr int retryMs = 100;
} // namespace

SystemdNotifier::SystemdNotifier(QObject *parent) : QObject(parent)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path, or "@name" in the abstract namespace.
    if ((!path.startsWith('/') && !path.startsWith('@')) || path.size() < 2
        || size_t(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (path.startsWith('@'))
        address.sun_path[0] = '\0';
    m_address = QByteArray(reinterpret_cast<const char *>(&address),
                           qsizetype(offsetof(sockaddr_un, sun_path)) + path.size());
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return;

    // The watchdog is this process's only if WATCHDOG_PID names none other.
    bool ok = false;
    const qint64 watchdogUs = qEnvironmentVariable("WATCHDOG_USEC").toLongLong(&ok);
    const QString pid = qEnvironmentVariable("WATCHDOG_PID");
    if (ok && watchdogUs > 0 && (pid.isEmpty() || pid.toLongLong() == ::getpid())) {
        // Twice per interval: one late turn of a busy loop is no restart.
        m_watchdog.setInterval(int(std::max<qint64>(watchdogUs / 2000, 1)));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog.start();
    }
    m_statusCheck.setInterval(statusCheckMs);
    connect(&m_statusCheck, &QTimer::timeout, this, &SystemdNotifier::sendStatus);
    m_retry.setInterval(retryMs);
    connect(&m_retry, &QTimer::timeout, this, &SystemdNotifier::sendPending);
}

SystemdNotifier::~SystemdNotifier()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SystemdNotifier::ready(std::function<QString()> status)
{
    m_status = std::move(status);
    if (!isActive())
        return;
    m_lastStatus = m_status();
    m_pending = "READY=1\nSTATUS=" + m_lastStatus.toUtf8();
    sendPending();
    m_statusCheck.start();
}

void SystemdNotifier::stopping(const QString &status)
{
    m_statusCheck.stop();
    if (!isActive())
        return;
    m_pending = "STOPPING=1\nSTATUS=" + status.toUtf8();
    sendPending();
}

void SystemdNotifier::sendPending()
{
    if (send(m_pending))
        m_retry.stop();
    else if (!m_retry.isActive())
        m_retry.start();
}

void SystemdNotifier::sendStatus()
{
    const QString status = m_status();
    if (status != m_lastStatus && send("STATUS=" + status.toUtf8()))
        m_lastStatus = status;
}

bool SystemdNotifier::send(const QByteArray &message)
{
    if (m_fd < 0)
        return true;
    const ssize_t sent =
        ::sendto(m_fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr *>(m_address.constData()),
                 socklen_t(m_address.size()));
    // Anything but a full queue will not get better by trying again.
    return sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS);
}
