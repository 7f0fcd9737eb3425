#include "httpanswer.h"

#include "plainsender.h"

#include <QList>

#include <sys/socket.h>
#include <unistd.h>

namespace kit {

qsizetype answerLength(const QByteArray &bytes, bool head)
{
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return -1;
    const QByteArray announced = header(bytes.left(end + 4), "Content-Length");
    const qsizetype length = end + 4 + (head || announced.isEmpty() ? 0 : announced.toLongLong());
    return bytes.size() >= length ? length : -1;
}

QByteArray headersOf(const QByteArray &answer)
{
    const qsizetype end = answer.indexOf("\r\n\r\n");
    return end < 0 ? answer : answer.left(end + 4);
}

QByteArray bodyOf(const QByteArray &answer)
{
    const qsizetype end = answer.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : answer.mid(end + 4);
}

QByteArray header(const QByteArray &answer, const QByteArray &name)
{
    const QByteArray wanted = name.toLower() + ':';
    for (const QByteArray &line : headersOf(answer).split('\n')) {
        if (line.toLower().startsWith(wanted))
            return line.mid(wanted.size()).trimmed();
    }
    return {};
}

int status(const QByteArray &answer)
{
    if (!answer.startsWith("HTTP/1.") || answer.size() < 12)
        return 0;
    return answer.mid(9, 3).toInt();
}

QByteArray httpGet(quint16 port, const QByteArray &pathAndQuery, int *code, int timeoutMs)
{
    if (code)
        *code = 0;
    const QByteArray request =
        "GET " + pathAndQuery + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const int fd = connectLoopback(port);
    if (fd < 0)
        return {};
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray bytes;
    qsizetype length = -1;
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == ssize_t(request.size())) {
        // Whole at its Content-Length, whether or not the server closes
        // then; without a length, the close ends it.
        char buffer[65536];
        for (;;) {
            const bool announced = !header(bytes, "Content-Length").isEmpty();
            if (announced && (length = answerLength(bytes)) >= 0)
                break;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0 && !announced && bytes.contains("\r\n\r\n"))
                length = bytes.size();
            if (got <= 0)
                break;
            bytes.append(buffer, got);
        }
    }
    ::close(fd);
    if (length < 0 || status(bytes) == 0)
        return {};
    if (code)
        *code = status(bytes);
    return bodyOf(bytes.left(length));
}

} // namespace kit
