#pragma once
// Like QTRY_VERIFY and QTRY_COMPARE, but the condition is checked again as
// soon as any event has been handled instead of every 50 ms: the server tests
// wait on loopback round trips hundreds of times.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>
#include <algorithm>

template <typename Predicate>
bool waitUntil(Predicate predicate, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // ends the last wait for events at the deadline
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        // Again if it fired a little early: nothing else may ever wake the wait.
        if (!wake.isActive())
            wake.start(int(std::max<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

#define WAIT_VERIFY(expr) QVERIFY2(waitUntil([&] { return bool(expr); }), #expr)

#define WAIT_COMPARE(actual, expected)                                                            \
    do {                                                                                          \
        (void)waitUntil([&] { return (actual) == (expected); });                                  \
        QCOMPARE(actual, expected);                                                               \
    } while (false)
