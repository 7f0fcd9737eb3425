// The directory refresh end to end: a list reply of N names of 20 characters,
// served by the fake forum server on loopback, gathered, split and shown in
// the directory list of the real main window (offscreen), then the horizontal extent.
//
// Figures per size, median of 7 runs after one warm-up (each run replaces a
// directory of the same size, as the minute refresh does):
//   handled  from the reply's last data event to the end of the handling
//            (split, list filled, socket closed, extent done)
//   shown    the same, plus the list's layout and one repaint
//   total    from the refresh to the end of the handling: connect, request,
//            transfer and handling. The server closes after its reply, so no
//            quiet time is waited.
//   scroll   one page-down of the list plus its repaint, over 20 steps
#include "fakeserver.h"
#include "fixedclock.h"
#include "mainwindowprobe.h"
#include "protocol/listexchange.h"
#include "scripteddialogs.h"
#include "ui/widgets/listwidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QThread>
#include <algorithm>
#include <cstdio>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

QString cpuModel()
{
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (!info.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    // The file reports no size, so read it whole rather than testing atEnd().
    const QList<QByteArray> lines = info.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("model name"))
            return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
    }
    return QStringLiteral("unknown");
}

QByteArray replyOf(int count)
{
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i)
        names.append(QStringLiteral("Forum %1").arg(i, 14, 10, QLatin1Char('0')));
    return names.join(u'*').toUtf8();
}

struct Run
{
    double handled = 0;
    double shown = 0;
    double total = 0;
};

class Bench
{
public:
    Bench()
    {
        m_server.reply(FakeServer::List, QByteArray());
        m_window.show();
        // After the window's own handlers: the last data event, and the end of
        // the handling (queued, as the window's own handler is, and after it).
        QObject::connect(&MainWindowProbe::listExchange(m_window)->socket(), &Socket::dataReceived, [this] { m_lastData = m_clock.nsecsElapsed(); });
        QObject::connect(MainWindowProbe::listExchange(m_window), &ListExchange::finished, &m_window, [this] {
            m_handled = m_clock.nsecsElapsed();
            m_done = true;
        }, Qt::QueuedConnection);
        m_clock.start();
    }

    bool run(const QByteArray &reply, int count, Run &figures)
    {
        m_server.reply(FakeServer::List, reply);
        m_done = false;
        const qint64 start = m_clock.nsecsElapsed();
        MainWindowProbe::refreshDirectory(m_window);
        QElapsedTimer limit;
        limit.start();
        while (!m_done && limit.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!m_done || MainWindowProbe::directoryList(m_window)->count() != count || !m_dialogs.boxes.isEmpty())
            return false;
        // The list's delayed layout and the repaint it asks for.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        MainWindowProbe::directoryList(m_window)->repaint();
        const qint64 shown = m_clock.nsecsElapsed();
        figures = {ms(m_handled - m_lastData), ms(shown - m_lastData), ms(m_handled - start)};
        return true;
    }

    double scrollStep()
    {
        ListWidget *list = MainWindowProbe::directoryList(m_window);
        list->verticalScrollBar()->setValue(0);
        QList<double> steps;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer timer;
            timer.start();
            list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
            list->viewport()->repaint();
            steps.append(ms(timer.nsecsElapsed()));
        }
        return median(steps);
    }

private:
    FakeServer m_server;
    ScriptedDialogs m_dialogs;
    FixedClock m_fixedClock;
    MainWindow m_window{m_server.endpoint(), m_dialogs, m_fixedClock};
    QElapsedTimer m_clock;
    qint64 m_lastData = 0;
    qint64 m_handled = 0;
    bool m_done = false;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::printf("machine: %d cores, %s\n", QThread::idealThreadCount(), qPrintable(cpuModel()));
    std::printf("names of 20 characters; median of 7 runs, in ms\n");
    std::printf("%8s %9s %9s %9s %9s\n", "names", "handled", "shown", "total", "scroll");

    Bench bench;
    for (const int count : {1000, 10000, 32767, 100000}) {
        const QByteArray reply = replyOf(count);
        Run figures;
        if (!bench.run(reply, count, figures)) { // warm-up: the list now holds a directory this size
            std::printf("%8d failed\n", count);
            return 1;
        }
        QList<double> handled, shown, total;
        for (int i = 0; i < 7; ++i) {
            if (!bench.run(reply, count, figures)) {
                std::printf("%8d failed\n", count);
                return 1;
            }
            handled.append(figures.handled);
            shown.append(figures.shown);
            total.append(figures.total);
        }
        std::printf("%8d %9.2f %9.2f %9.2f %9.3f\n", count, median(handled), median(shown), median(total),
                    bench.scrollStep());
        std::fflush(stdout);
    }
    return 0;
}
