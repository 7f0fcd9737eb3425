#pragma once
// The server's log: one line per call, on standard error (or another
// descriptor). Lines written during one turn of the event loop go out
// together before the loop waits again: one system call for many requests,
// and never a line held behind a timer. They wait in plain memory that a
// crash handler can still write out, so a crash or an abort loses nothing
// already logged; a kill -9 loses at most the lines of the turn under way.
// It never holds up the event loop: when the output blocks (a stalled pipe,
// a busy journal), lines wait in memory up to a bound, and past it they are
// dropped, counted and reported once the output takes lines again. Under
// systemd, whose journal stamps every line, it leaves out its own stamp.

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
    // Writes out what this turn has logged when the program crashes or aborts
    // (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), then lets the signal end it.
    void writeOutOnCrash();

    qint64 dropped() const { return m_droppedTotal; }
    static constexpr qsizetype maxWaiting = 1024 * 1024;

private:
    enum class Output { Socket, NonBlocking, Blocking };
    void flush(); // at the end of the loop's turn
    void keep(const char *data, qsizetype size); // while the output blocks
    qsizetype writeSome(const char *data, qsizetype size);
    void resume();

    int m_fd;
    int m_out; // where lines are written: m_fd, or a non-blocking descriptor of our own
    Output m_output = Output::Blocking;
    bool m_stamp = true;
    bool m_turns = false; // a loop whose turns end flushes the stage; else every line does
    qint64 m_second = -1;
    QByteArray m_stampText;
    // This turn's lines: fixed memory, so that a crash handler may write it out.
    static constexpr qsizetype stageBytes = 64 * 1024;
    char m_stage[stageBytes];
    qsizetype m_staged = 0;
    QByteArray m_waiting; // what the output did not take yet, whole lines (the first perhaps begun)
    qint64 m_dropped = 0; // since the output blocked
    qint64 m_droppedTotal = 0;
    QSocketNotifier *m_writable = nullptr;
};
