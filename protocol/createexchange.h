#pragma once
// The create exchange: the forum name out, "CREATED", "EXISTS" or "LIMITED"
// back. An error, a close or silence before a known reply all end it as a failure.

#include "protocol/exchangefailure.h"
#include "protocol/socket.h"

#include <QObject>
#include <QTimer>

class CreateExchange : public QObject
{
    Q_OBJECT
public:
    explicit CreateExchange(QObject *parent = nullptr);

    void setLimitMs(int ms) { m_limit.setInterval(ms); }

    // Sends name once connected. Every start not abandoned ends in exactly one signal.
    void start(const QString &host, quint16 port, const QString &name);
    void abandon();

    const Socket &socket() const { return m_socket; }
    // Whether a timer still runs, so that an ending may still come (tests).
    bool timing() const { return m_limit.isActive(); }

Q_SIGNALS:
    void created();
    void exists();
    void limited(); // the server takes no more new forums from this address for now
    void failed(ExchangeFailure kind);

private:
    void onData();
    void fail(ExchangeFailure kind);

    Socket m_socket;
    QString m_name;
    QByteArray m_reply;
    QTimer m_limit;
};
