#pragma once
// Reading the server's HTTP answers: where one ends on a connection that
// stays open, its parts, and a whole GET on a connection of its own.

#include <QByteArray>

namespace kit {

// The length of the whole answer at the front of `bytes`: its head, then as
// many bytes as its Content-Length announces (none for an answer to HEAD or
// without the header); -1 while it is not all there.
qsizetype answerLength(const QByteArray &bytes, bool head = false);

QByteArray headersOf(const QByteArray &answer); // status line and headers, with the blank line
QByteArray bodyOf(const QByteArray &answer);
// A header's value (its name in any case); empty if the answer has none.
QByteArray header(const QByteArray &answer, const QByteArray &name);
// The status code; 0 if this is no HTTP answer.
int status(const QByteArray &answer);

// GET with Connection: close on a plain blocking connection (the server in
// another process or thread): the body, *status its code (0: no whole answer
// within timeoutMs).
QByteArray httpGet(quint16 port, const QByteArray &pathAndQuery, int *status = nullptr,
                   int timeoutMs = 10000);

} // namespace kit
