#pragma once
// The real main window against the fake server, with scripted dialogs, a
// fixed clock and short waits.

#include "fakeserver.h"
#include "mainwindowprobe.h"
#include "fixedclock.h"
#include "scripteddialogs.h"

#include <QTemporaryDir>
#include <memory>

class WindowFixture
{
public:
    // Waits scaled down so the suite runs in seconds.
    static Timing fastTiming();

    explicit WindowFixture(const Timing &timing = fastTiming());
    ~WindowFixture();

    // Runs start-up and waits until the window is active and the list request arrived
    // (unless the list port refuses).
    void load();
    // Serves names as the next list reply and waits until the directory shows them.
    bool fillDirectory(const QStringList &names);

    FakeServer server;
    ScriptedDialogs dialogs;
    FixedClock clock;
    QTemporaryDir folder; // the preview page goes here
    std::unique_ptr<MainWindow> window;
};
