#pragma once
// The post exchange: once connected the request goes out; a completed send is
// success, as the server answers nothing. The server's close is no ending:
// only a send, an error or the limit ends a post.

#include "protocol/exchangefailure.h"
#include "protocol/socket.h"

#include <QObject>
#include <QTimer>

class PostExchange : public QObject
{
    Q_OBJECT
public:
    explicit PostExchange(QObject *parent = nullptr);

    void setLimitMs(int ms) { m_limit.setInterval(ms); }

    // Connects; connected() then asks for send() or cancel().
    void start(const QString &host, quint16 port);
    // The assembled request (forum "*" stored title "*" body).
    void send(const QString &request);
    // Ends the exchange without a word: the caller has its own reason.
    void cancel();

    const Socket &socket() const { return m_socket; }
    // Whether a timer still runs, so that an ending may still come (tests).
    bool timing() const { return m_limit.isActive(); }

Q_SIGNALS:
    void connected();
    void sent();
    void failed(ExchangeFailure kind);

private:
    void fail(ExchangeFailure kind);

    Socket m_socket;
    QTimer m_limit;
};
