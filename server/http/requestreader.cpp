#include "server/http/requestreader.h"

#include <array>
#include <cstring>

namespace http {

namespace {

// The characters of a method or a header name.
constexpr std::array<bool, 256> tokenCharacters = [] {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = table[c - 'a' + 'A'] = true;
    for (char c : "!#$%&'*+-.^_`|~")
        table[static_cast<unsigned char>(c)] = c != '\0';
    return table;
}();

// More digits could overflow; no body this server reads comes near it.
constexpr qsizetype maxLengthDigits = 18;

bool isToken(char c)
{
    return tokenCharacters[static_cast<unsigned char>(c)];
}

bool isSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView value)
{
    while (!value.isEmpty() && isSpaceOrTab(value.front()))
        value = value.sliced(1);
    while (!value.isEmpty() && isSpaceOrTab(value.back()))
        value.chop(1);
    return value;
}

// `lower`: a lower-case name; `name` holds only token characters, for which
// setting 0x20 lower-cases exactly the letters.
bool sameName(QByteArrayView name, QByteArrayView lower)
{
    if (name.size() != lower.size())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if ((name[i] | 0x20) != lower[i])
            return false;
    }
    return true;
}

// A CR not ending its line, or a NUL: read as a line break or an end by some.
bool hasBareCrOrNul(QByteArrayView line)
{
    for (char c : line) {
        if (c == '\r' || c == '\0')
            return true;
    }
    return false;
}

qsizetype nextLineFeed(const char *data, qsizetype from, qsizetype end)
{
    if (from >= end)
        return -1;
    const void *found = std::memchr(data + from, '\n', size_t(end - from));
    return found ? static_cast<const char *>(found) - data : -1;
}

// A line from `from` to the LF at `lf`, without the CR before it.
QByteArrayView lineAt(const char *data, qsizetype from, qsizetype lf)
{
    const qsizetype to = lf > from && data[lf - 1] == '\r' ? lf - 1 : lf;
    return QByteArrayView(data + from, to - from);
}

ReadResult refuse(int status, const char *why)
{
    ReadResult result;
    result.kind = ReadResult::Kind::Refuse;
    result.status = status;
    result.why = why;
    return result;
}

// The target of a request line, whole or still arriving; empty if none yet.
QByteArrayView targetOf(QByteArrayView line)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return {};
    const qsizetype second = line.indexOf(' ', space + 1);
    return line.sliced(space + 1, (second < 0 ? line.size() : second) - space - 1);
}

// Reads the request line into *head; null if it is one, else why not.
const char *readRequestLine(QByteArrayView line, RequestHead *head)
{
    const qsizetype space = line.indexOf(' ');
    if (space <= 0)
        return "not a request line";
    head->method = line.first(space);
    for (char c : head->method) {
        if (!isToken(c))
            return "a method that is not a token";
    }
    const qsizetype second = line.indexOf(' ', space + 1);
    if (second < 0 || second == space + 1)
        return "not a request line";
    head->target = line.sliced(space + 1, second - space - 1);
    for (char c : head->target) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f')
            return "a control character in the target";
    }
    const QByteArrayView version = line.sliced(second + 1);
    if (version.size() != 8 || !version.startsWith("HTTP/1.") || version[7] < '0'
        || version[7] > '9')
        return "not HTTP/1.x";
    // A later HTTP/1.x is read as 1.1, the highest this server speaks.
    head->minorVersion = version[7] == '0' ? 0 : 1;
    return nullptr;
}

// Reads one header line into *head; null if it is good, else why not.
const char *readHeader(QByteArrayView line, bool first, RequestHead *head, bool *lengthSeen)
{
    if (line.isEmpty()) // the empty line ends the head before it comes here
        return "an empty header line";
    if (isSpaceOrTab(line.front()))
        return first ? "whitespace before the first header" : "a folded header line";
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return "a header line without a name";
    const QByteArrayView name = line.first(colon);
    for (char c : name) {
        if (!isToken(c))
            return isSpaceOrTab(c) ? "whitespace before a header's colon"
                                   : "a header name that is not a token";
    }
    const QByteArrayView value = trimmed(line.sliced(colon + 1));
    if (sameName(name, "host")) {
        if (head->hasHost)
            return "two Host headers";
        head->hasHost = true;
        head->host = value;
    } else if (sameName(name, "content-length")) {
        if (value.isEmpty() || value.size() > maxLengthDigits)
            return "a Content-Length that is not a number";
        qint64 length = 0;
        for (char c : value) {
            if (c < '0' || c > '9')
                return "a Content-Length that is not a number";
            length = length * 10 + (c - '0');
        }
        if (*lengthSeen && length != head->contentLength)
            return "two different Content-Length values";
        *lengthSeen = true;
        head->contentLength = length;
    } else if (sameName(name, "transfer-encoding")) {
        head->transferEncoding = true;
    } else if (sameName(name, "connection")) {
        for (QByteArrayView rest = value; !rest.isEmpty();) {
            const qsizetype comma = rest.indexOf(',');
            const QByteArrayView option = trimmed(comma < 0 ? rest : rest.first(comma));
            rest = comma < 0 ? QByteArrayView() : rest.sliced(comma + 1);
            if (option.compare("close", Qt::CaseInsensitive) == 0)
                head->connectionClose = true;
            else if (option.compare("keep-alive", Qt::CaseInsensitive) == 0)
                head->connectionKeepAlive = true;
        }
    } else if (sameName(name, "accept-encoding")) {
        head->acceptEncoding.add(value);
    } else if (sameName(name, "if-none-match")) {
        head->ifNoneMatch.add(value);
    }
    return nullptr;
}

} // namespace

void FieldList::add(QByteArrayView value)
{
    if (first.isEmpty() && more.isEmpty()) {
        first = value;
        return;
    }
    more.append(',').append(value);
}

QByteArray FieldList::copy() const
{
    return first.toByteArray() + more;
}

QByteArray FieldList::borrow() const
{
    return more.isEmpty() ? QByteArray::fromRawData(first.data(), first.size()) : copy();
}

ReadResult readRequest(QByteArrayView input, const Limits &limits)
{
    const char *data = input.data();
    const qsizetype size = input.size();
    // Blank lines before a request are ignored.
    qsizetype start = 0;
    while (start < size && (data[start] == '\r' || data[start] == '\n'))
        ++start;

    const qsizetype lineEnd = nextLineFeed(data, start, size);
    const QByteArrayView requestLine =
        lineEnd < 0 ? input.sliced(start) : lineAt(data, start, lineEnd);
    // Refused as soon as it is seen, not only once the line is whole.
    if (targetOf(requestLine).size() > limits.targetBytes)
        return refuse(414, "a target over its bound");

    // The head ends at the first empty line: LF LF, or LF CR LF.
    qsizetype headEnd = -1; // where the empty line starts
    qsizetype after = -1;
    for (qsizetype lf = lineEnd; lf >= 0; lf = nextLineFeed(data, lf + 1, size)) {
        if (lf + 1 < size && data[lf + 1] == '\n') {
            headEnd = lf + 1;
            after = lf + 2;
            break;
        }
        if (lf + 2 < size && data[lf + 1] == '\r' && data[lf + 2] == '\n') {
            headEnd = lf + 1;
            after = lf + 3;
            break;
        }
    }
    if (headEnd < 0) {
        if (size - start > limits.headBytes)
            return refuse(431, "headers over their bound");
        ReadResult more;
        more.consumed = start;
        return more;
    }
    if (headEnd - start > limits.headBytes)
        return refuse(431, "headers over their bound");

    ReadResult result;
    RequestHead &head = result.head;
    if (hasBareCrOrNul(requestLine))
        return refuse(400, "a bare CR or a NUL");
    if (const char *why = readRequestLine(requestLine, &head))
        return refuse(400, why);
    bool lengthSeen = false;
    for (qsizetype from = lineEnd + 1; from < headEnd;) {
        const qsizetype lf = nextLineFeed(data, from, headEnd);
        const QByteArrayView line = lineAt(data, from, lf);
        if (hasBareCrOrNul(line))
            return refuse(400, "a bare CR or a NUL");
        if (const char *why = readHeader(line, from == lineEnd + 1, &head, &lengthSeen))
            return refuse(400, why);
        from = lf + 1;
    }
    if (head.minorVersion == 1 && !head.hasHost)
        return refuse(400, "an HTTP/1.1 request without Host");
    result.kind = ReadResult::Kind::Request;
    result.consumed = after;
    return result;
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    }
    return "Unknown";
}

} // namespace http
