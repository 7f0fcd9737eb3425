#pragma once
// Posts sent without pause from threads of their own, as many clients would,
// each counted as acknowledged only once the server closed in order.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <atomic>
#include <thread>
#include <vector>

namespace kit {

// A post as the client sends it: true only if it was all sent, its sending
// half closed, and the server then closed in order (the post is kept); false
// for a reset or any failure. from: as for connectLoopback.
bool acknowledged(quint16 port, const QByteArray &request, const char *from = nullptr);

// Lives on the test's thread; its senders post until stop().
class Flood
{
public:
    // tag: begins every body (tests on PostgreSQL share one database); each
    // sender's posts go to the forums in turn; bodies padded to fill the
    // spool's segments.
    Flood(quint16 port, const QByteArray &tag, int senders = 8, qsizetype paddingSize = 1000,
          const QList<QByteArray> &forums = {"Welcome"});
    ~Flood() { stop(); }
    void setPort(quint16 port) { m_port = port; } // a server started again elsewhere
    void stop();
    int count() const { return m_count; }
    int failed() const { return m_failed; } // refused, reset or unanswered
    // Waits, handling events, until `by` more are acknowledged.
    bool grows(int by, int timeoutMs = 60000) const;
    // Empty when every acknowledged post is stored once and no post of the
    // flood twice; stored: how often each body is in the database.
    QString lostOrTwice(const QHash<QByteArray, int> &stored) const;

private:
    std::atomic<quint16> m_port;
    const QByteArray m_tag;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_count{0};
    std::atomic<int> m_failed{0};
    std::vector<QList<QByteArray>> m_kept; // one list per sender, written by it alone
    std::vector<std::thread> m_threads;
};

} // namespace kit
