#pragma once
// A plain blocking sender on loopback, as a script or another program talks
// to the server: no event loop, so a test's own threads and the benches'
// load loops use it alike. Only for a server in another process or thread.

#include <QByteArray>

namespace kit {

// A blocking TCP connection to a loopback port, -1 if refused. `buffers`:
// the system's send and receive buffers for it, if not the default.
// from: the loopback address to send from ("127.0.0.5"), or the system's choice.
int connectLoopback(quint16 port, int buffers = 0, const char *from = nullptr);

// Connect, send, end the sending half, read until the server closes, all
// within timeoutMs. *ok: everything was sent and the server closed in order
// in time (no reset, no endless reply). from: as for connectLoopback.
QByteArray exchange(quint16 port, const QByteArray &request, bool *ok = nullptr,
                    int timeoutMs = 30000, const char *from = nullptr);

// Sends a post and closes, as the client does; false if it was not all sent.
bool post(quint16 port, const QByteArray &request, int timeoutMs = 10000,
          const char *from = nullptr);

} // namespace kit
