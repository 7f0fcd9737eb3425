#pragma once
// SIGINT and SIGTERM end the event loop, so the store closes cleanly.

// Call once, after the application object exists.
void quitOnTerminationSignals();
