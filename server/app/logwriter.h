#pragma once
// The server's log: one line per call, on standard error (or another
// descriptor), each line handed to the system whole as it is written, so a
// crash or a kill loses nothing already logged. It never holds up the event
// loop: when the output blocks (a stalled pipe, a busy journal), lines wait
// in memory up to a bound, and past it they are dropped, counted and
// reported once the output takes lines again. Under systemd, whose journal
// stamps every line, it leaves out its own stamp.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Lives on the main thread.
class LogWriter : public QObject
{
    Q_OBJECT
public:
    explicit LogWriter(int descriptor = 2, QObject *parent = nullptr);
    ~LogWriter() override; // what still waits goes out, if the output takes it within a second

    void write(const QString &line);

    qint64 dropped() const { return m_droppedTotal; }
    bool stamps() const { return m_stamp; }
    static constexpr qsizetype maxWaiting = 1024 * 1024;

private:
    enum class Output { Socket, NonBlocking, Blocking };
    void send(const QByteArray &bytes);
    qsizetype writeSome(const char *data, qsizetype size);
    void resume();

    int m_fd;
    int m_own = -1; // a non-blocking descriptor of our own for the same pipe or terminal
    Output m_output = Output::Blocking;
    bool m_stamp = true;
    qint64 m_second = -1;
    QByteArray m_stampText;
    QByteArray m_waiting; // what the output did not take yet, whole lines (the first perhaps begun)
    qint64 m_dropped = 0; // since the output blocked
    qint64 m_droppedTotal = 0;
    QSocketNotifier *m_writable = nullptr;
};
