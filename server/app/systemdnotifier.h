#pragma once
// Tells systemd how the server is doing, over the datagram socket a
// Type=notify service is given (NOTIFY_SOCKET): ready, stopping, a status
// line, and the watchdog's keep-alive sent from the event loop, so a loop
// stuck past WatchdogSec= gets the service restarted. Without the socket it
// does nothing.
//
// The protocol is a few lines of text in one datagram; it is spoken here
// rather than through libsystemd's sd_notify(), which sends blocking: the
// main thread never waits, and a message the socket cannot take at once is
// tried again later instead.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

// Lives on the main thread.
class SystemdNotifier : public QObject
{
    Q_OBJECT
public:
    explicit SystemdNotifier(QObject *parent = nullptr);
    ~SystemdNotifier() override;

    bool isActive() const { return m_fd >= 0; }
    int watchdogIntervalMs() const { return m_watchdog.interval(); } // 0: no watchdog

    // Once every port listens: READY=1 with the status, then the status
    // from `status` whenever it changes (looked at every few seconds).
    void ready(std::function<QString()> status);
    // The stop has begun.
    void stopping(const QString &status);

private:
    bool send(const QByteArray &message);
    void sendStatus();
    void sendPending();

    int m_fd = -1;
    QByteArray m_address; // a sockaddr_un
    QTimer m_watchdog;
    QTimer m_statusCheck;
    QTimer m_retry;
    std::function<QString()> m_status;
    QString m_lastStatus;
    QByteArray m_pending; // READY=1 or STOPPING=1 not yet taken
};
