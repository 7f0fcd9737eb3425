#pragma once
// One accepted TCP connection on a plain socket descriptor.
//
// Unlike QTcpSocket it keeps writing after the peer has ended its sending
// half (a sender that half-closes still gets its reply), and it reads
// whatever has arrived on demand, the peer's end included.

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <memory>

class QSocketNotifier;

// Lives on the main thread.
class StreamConnection : public QObject
{
    Q_OBJECT
public:
    // Why an unfinished connection was cut off.
    enum class Cut {
        Deadline, // its request was not complete in time
        Idle,     // nothing of a next request came after an answer (keep-alive expiry)
        Room,     // to make room for a newcomer
    };
    Q_ENUM(Cut)

    // Takes over a connected, accepted, non-blocking descriptor. requestMs:
    // the deadline for the whole request, counted from now. resetsOnClose:
    // the descriptor resets on close already (accepted sockets inherit it
    // from their listening socket). Nothing is read until the first
    // readNow(), which then watches for the rest.
    StreamConnection(int descriptor, const QHostAddress &peer, quint16 peerPort, int requestMs,
                     bool resetsOnClose, QObject *parent = nullptr);
    ~StreamConnection() override;

    // "address:port" of the client, for the log; the address limits count by.
    QString peer() const { return m_peer; }
    QHostAddress peerAddress() const { return m_peerAddress; }
    // The client a trusted proxy named, in place of the proxy itself.
    void setPeer(const QHostAddress &address, quint16 port);
    bool isOpen() const { return m_fd >= 0; }
    qint64 age() const { return m_clock.elapsed(); }

    // What has arrived and not been taken yet; handlers take from it.
    QByteArray &input() { return m_input; }
    bool inputEnded() const { return m_inputEnded; }

    // Reads whatever is waiting now, the peer's end included.
    void readNow();
    // Stops reading while this much input waits untaken (0: no bound);
    // inputTaken() resumes once the handler has taken some.
    void setInputLimit(qsizetype bytes) { m_inputLimit = bytes; }
    void inputTaken();
    // A read that gets less than it asked for ends the reading: the rest,
    // if any, is announced again. Right for a request that comes in one
    // piece and keeps the connection (a page); a post's end usually follows
    // its last data, so by default reading goes on until the system is empty.
    void setShortReadEndsReading(bool ends) { m_shortReadEnds = ends; }

    // Queues bytes to send (shared, not copied) and sends what it can at once.
    void write(const QByteArray &bytes, const QByteArray &more = {});
    // Queues bytes, then `size` bytes of the file `fd` from `offset`, sent
    // with sendfile() (no copy of them here); `file` keeps the descriptor
    // open until they are out.
    void write(const QByteArray &bytes, int fd, qint64 offset, qint64 size,
               std::shared_ptr<const void> file);
    qsizetype pendingOutput() const { return m_pendingOutput; }
    // Once everything written has gone out: ends our sending half, then
    // closes when the peer ends its own (or soon after).
    void closeWhenWritten();
    // The same, but closes at once when the request was read whole and
    // nothing more had come by the last read: only unread input turns a close
    // into a reset, so the wait for the peer's end is spared.
    void closeWhenWrittenAndRead();
    void abort(); // closes at once; unsent output is lost
    // Closes at once with a reset (SO_LINGER {1, 0}): the peer sees ECONNRESET,
    // never an orderly end, so a refusal is never taken for an acknowledgement.
    void reset();
    // While on, any close sends a reset, the system's too when the process
    // dies (killed, it would otherwise end every connection in order).
    void setResetOnClose(bool on);

    // While one lives, connections whose exchange has ended close on the
    // loop's next turn instead of at once: a page request that takes in the
    // posts queued before it answers first, and their closes follow.
    struct HoldCloses
    {
        HoldCloses();
        ~HoldCloses();
        HoldCloses(const HoldCloses &) = delete;
        HoldCloses &operator=(const HoldCloses &) = delete;
    };

    // A finished connection has its whole request and is only answering or
    // closing; only unfinished ones are cut off to make room.
    bool isFinished() const { return m_finished; }
    void setFinished(bool finished) { m_finished = finished; }
    // The next request's deadline, after an answer: if nothing of it has
    // come when it runs out, the cut is Idle rather than Deadline.
    void restartDeadline(int ms);
    // The request is whole: what follows (a post waiting for the disk) has bounds of its own.
    void stopDeadline() { m_deadline.stop(); }

    // Cuts off an unfinished connection to make room for a new one, after
    // taking in what has already arrived; false if it finished or closed meanwhile.
    bool makeRoom();

signals:
    void readyRead();              // input grew, or the peer ended its sending
    void drained(); // output that had to wait for the peer has all gone out
    void lost(const QString &why); // reset or other failure; the connection is closed
    void cutOff(const QString &why, StreamConnection::Cut cut); // closed right after
    void closed();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void onReadable();
    void startDeadline(int ms);
    void deadlineReached();
    void watchInput(bool watch);
    void flush();
    void closeNow();
    void fail(const QString &why);

    int m_fd = -1;
    QString m_peer;
    QHostAddress m_peerAddress;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_input;
    qsizetype m_inputLimit = 0;
    bool m_readingPaused = false;
    bool m_shortReadEnds = false;
    bool m_inputDrained = false; // the last read found nothing more waiting
    bool m_closeAtOnce = false; // closeWhenWrittenAndRead was called
    bool m_resetOnClose = false; // SO_LINGER {1, 0} is set
    // Bytes, or a range of a file.
    struct Piece
    {
        QByteArray bytes;
        std::shared_ptr<const void> file;
        int fd = -1;
        qint64 offset = 0;
        qint64 size = 0;
    };
    void queue(Piece piece);
    bool sendFile(const Piece &piece, qint64 *sent);

    QList<Piece> m_output; // waiting to go out, in order
    qsizetype m_written = 0; // of the first
    qsizetype m_pendingOutput = 0;
    bool m_inputEnded = false;
    bool m_closing = false; // closeWhenWritten was called
    bool m_finished = false;
    bool m_waitedToWrite = false; // drained() is due once the output is out
    bool m_idle = false; // restartDeadline was called and no byte has come since
    // A deadline moved later is not re-armed: the timer, when it runs out,
    // looks at the time and waits again for the rest (a request answered
    // every few milliseconds on a kept-alive connection costs no timer).
    QBasicTimer m_deadline;
    int m_deadlineMs = 0;
    qint64 m_deadlineDue = 0; // m_clock's reading when the deadline runs out
    qint64 m_timerDue = 0; // when m_deadline, if active, runs out
    QBasicTimer m_linger;
    QElapsedTimer m_clock;
};
