// The HTTP request reader: every request it takes passes a slower, plainer
// reading of the same bytes (one Host, one length of digits only, no folded
// or bare-CR lines), and reads the same whatever follows it.
#include "server/http/requestreader.h"

#include <QList>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool isToken(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool allTokens(const QByteArray &text)
{
    for (char c : text) {
        if (!isToken(c))
            return false;
    }
    return !text.isEmpty();
}

// Only spaces and tabs are a value's padding.
QByteArray trimmedValue(QByteArray value)
{
    while (!value.isEmpty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove(0, 1);
    while (!value.isEmpty() && (value.back() == ' ' || value.back() == '\t'))
        value.chop(1);
    return value;
}

bool within(QByteArrayView part, QByteArrayView whole)
{
    return part.isEmpty()
        || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// The head read again, line by line, with no regard for speed.
void checkHead(const QByteArray &bytes, const http::ReadResult &read, const http::Limits &limits)
{
    const http::RequestHead &head = read.head;
    check(read.consumed > 0 && read.consumed <= bytes.size());
    check(within(head.method, bytes) && within(head.target, bytes) && within(head.host, bytes));
    qsizetype start = 0;
    while (bytes.at(start) == '\r' || bytes.at(start) == '\n')
        ++start;
    QList<QByteArray> lines = bytes.mid(start, read.consumed - start).split('\n');
    check(lines.size() >= 3 && lines.takeLast().isEmpty());
    const QByteArray blank = lines.takeLast();
    check(blank.isEmpty() || blank == "\r");
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        check(!line.isEmpty() && !line.contains('\r') && !line.contains('\0'));
    }
    const QList<QByteArray> parts = lines.takeFirst().split(' ');
    check(parts.size() == 3 && allTokens(parts[0]) && parts[0] == head.method);
    check(!parts[1].isEmpty() && parts[1] == head.target
          && parts[1].size() <= limits.targetBytes);
    check(parts[2].size() == 8 && parts[2].startsWith("HTTP/1.")
          && head.minorVersion == (parts[2][7] == '0' ? 0 : 1));
    int hosts = 0;
    QList<QByteArray> lengths;
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        check(colon > 0 && allTokens(line.left(colon)));
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = trimmedValue(line.mid(colon + 1));
        if (name == "host")
            ++hosts;
        if (name == "content-length")
            lengths.append(value);
    }
    check(hosts == (head.hasHost ? 1 : 0) && (head.minorVersion == 0 || hosts == 1));
    for (const QByteArray &length : lengths) {
        check(!length.isEmpty());
        for (char c : length)
            check(c >= '0' && c <= '9');
        check(length.toLongLong() == head.contentLength);
    }
    check(!lengths.isEmpty() || head.contentLength == 0);
}

void readOnce(const QByteArray &bytes, const http::Limits &limits)
{
    const http::ReadResult read = http::readRequest(bytes, limits);
    switch (read.kind) {
    case http::ReadResult::Kind::NeedMore:
        check(read.consumed >= 0 && read.consumed <= bytes.size());
        for (char c : bytes.first(read.consumed))
            check(c == '\r' || c == '\n');
        return;
    case http::ReadResult::Kind::Refuse:
        check(read.status == 400 || read.status == 414 || read.status == 431);
        return;
    case http::ReadResult::Kind::Request:
        break;
    }
    checkHead(bytes, read, limits);
    // A head ends itself: cut there, or followed by more, it reads the same.
    const QByteArray whole = bytes.first(read.consumed);
    for (const QByteArray &same : {whole, whole + "GET / HTTP/1.1\r\n\r\n"}) {
        const http::ReadResult again = http::readRequest(same, limits);
        check(again.kind == http::ReadResult::Kind::Request && again.consumed == read.consumed
              && again.head.target == read.head.target
              && again.head.contentLength == read.head.contentLength);
    }
    // Without its last byte it is not yet a request.
    check(http::readRequest(whole.chopped(1), limits).kind != http::ReadResult::Kind::Request);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    readOnce(bytes, {});
    readOnce(bytes, {64, 24}); // the bounds within reach of short inputs
    return 0;
}
