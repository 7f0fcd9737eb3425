#pragma once
// Most of the server lives on the main thread, the event loop that serves
// the ports: its connections, its caches and its counts are never locked.
// Such a class checks at its entry points that it is called there, so that a
// call from the store, the writer or a pool thread stops a debug build at
// once instead of racing.

#include <QCoreApplication>
#include <QThread>

inline bool onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

#define TAVERNLY_ASSERT_MAIN_THREAD() \
    Q_ASSERT_X(onMainThread(), Q_FUNC_INFO, "called off the main thread")
