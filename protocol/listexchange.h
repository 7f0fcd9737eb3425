#pragma once
// The list exchange: "GETLIST" out, the forum names back. A reply can come in
// any number of pieces; it is whole once the server closes the connection or
// falls quiet for the quiet time. A close before any data ends it without a
// word: the directory keeps what it had. A reply that outgrows the cap, or an
// exchange still under way at the limit, fails.

#include "protocol/exchangefailure.h"
#include "protocol/socket.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

class ListExchange : public QObject
{
    Q_OBJECT
public:
    explicit ListExchange(QObject *parent = nullptr);

    // A directory of a million names fits.
    static constexpr qsizetype replyCapBytes = 64 * 1024 * 1024;

    void setQuietMs(int ms) { m_quiet.setInterval(ms); }
    // From the start, whatever arrives meanwhile; shorter than the refresh period.
    void setLimitMs(int ms) { m_limit.setInterval(ms); }

    // Abandons any exchange under way and starts a new one.
    void start(const QString &host, quint16 port);
    // Ends whatever is under way without a word (the program is closing).
    void abandon();

    // For observers of the connection itself (tests, benchmarks).
    const Socket &socket() const { return m_socket; }
    // Whether a timer still runs, so that an ending may still come (tests).
    bool timing() const { return m_quiet.isActive() || m_limit.isActive(); }

Q_SIGNALS:
    void finished(const QStringList &names);
    // A reply cut off by the failure is dropped.
    void failed(ExchangeFailure kind);

private:
    void onConnected();
    void onData();
    void finish();
    void fail(ExchangeFailure kind);
    void stop();

    Socket m_socket;
    QByteArray m_reply;
    QTimer m_quiet;
    QTimer m_limit;
};
