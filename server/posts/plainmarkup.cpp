#include "server/posts/plainmarkup.h"

#include <QByteArrayView>

#include <array>

namespace {

// Inline elements a parser opens and closes where they stand when they
// nest in order, with nothing to reopen after them.
constexpr std::array<QByteArrayView, 15> inlineTags{"b",   "i",     "u",    "s",   "em",
                                                    "strong", "small", "big", "sub", "sup",
                                                    "tt",  "code",  "strike", "span", "br"};
constexpr int lineBreak = 14; // "br", the one without content or end tag
constexpr qsizetype longestTag = 6;
// Far under the depth past which the sanitizer drops tags.
constexpr int maxNesting = 32;

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Text as it stands, bar the line ends and ">".
bool isPlain(char c)
{
    return (c >= 0x20 && c < 0x7f && c != '&') || c == '\t' || c == '\n' || c == '\r';
}

// The tag named by letters from `at` (any case), or -1.
int inlineTag(const QByteArray &fragment, qsizetype at, qsizetype length)
{
    if (length > longestTag)
        return -1;
    char lower[longestTag];
    for (qsizetype i = 0; i < length; ++i)
        lower[i] = char(fragment[at + i] | 0x20);
    const QByteArrayView name(lower, length);
    for (size_t i = 0; i < inlineTags.size(); ++i) {
        if (inlineTags[i] == name)
            return int(i);
    }
    return -1;
}

} // namespace

std::optional<QString> writtenWithoutParsing(const QByteArray &fragment, qsizetype limit)
{
    const qsizetype size = fragment.size();
    qsizetype at = 0;
    while (at < size && isBlank(fragment[at]))
        ++at;
    QString out;
    out.reserve(size - at);
    std::array<int, maxNesting> open{};
    int depth = 0;
    bool tagged = false;
    for (; at < size; ++at) {
        const char c = fragment[at];
        if (c == '<') {
            qsizetype end = at + 1;
            const bool closing = end < size && fragment[end] == '/';
            const qsizetype name = closing ? end + 1 : end;
            end = name;
            while (end < size && isAsciiLetter(fragment[end]))
                ++end;
            const int tag = end < size && fragment[end] == '>'
                ? inlineTag(fragment, name, end - name)
                : -1;
            if (tag < 0)
                return std::nullopt;
            if (closing) {
                // A stray or crossed end tag makes the parser move things about.
                if (depth == 0 || open[depth - 1] != tag)
                    return std::nullopt;
                --depth;
                out += u"</";
            } else {
                if (tag != lineBreak) {
                    if (depth == maxNesting)
                        return std::nullopt;
                    open[depth++] = tag;
                }
                out += u'<';
            }
            out += QLatin1StringView(inlineTags[tag]);
            out += u'>';
            tagged = true;
            at = end;
            continue;
        }
        if (!isPlain(c))
            return std::nullopt;
        if (c == '>') {
            out += u"&gt;";
        } else if (c == '\r') {
            out += u'\n';
            if (at + 1 < size && fragment[at + 1] == '\n')
                ++at;
        } else {
            out += QLatin1Char(c);
        }
    }
    while (depth > 0) {
        out += u"</";
        out += QLatin1StringView(inlineTags[open[--depth]]);
        out += u'>';
    }
    if (out.size() > limit) {
        if (tagged)
            return std::nullopt; // the text alone, as the sanitizer cuts it
        out.truncate(limit); // as a text too long is cut after parsing
    }
    return out;
}
