#pragma once
// The post exchange: once connected the request goes out and the client ends
// its side. The server answers nothing: its close in order after that end is
// its word that it has the post (sent()). Bytes merely written are not: a
// server that dies before storing the post resets the connection instead.
// A close before our end, an error or the limit ends the post as failed.

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
    // The assembled request (forum "*" stored title "*" body), then our end.
    void send(const QString &request);
    // Ends the exchange without a word: the caller has its own reason.
    void cancel();

    const Socket &socket() const { return m_socket; }
    // Whether a timer still runs, so that an ending may still come (tests).
    bool timing() const { return m_limit.isActive(); }

Q_SIGNALS:
    void connected();
    // The server closed in order after reading the whole request.
    void sent();
    void failed(ExchangeFailure kind);

private:
    void fail(ExchangeFailure kind);

    Socket m_socket;
    QTimer m_limit;
};
