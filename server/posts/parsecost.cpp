#include "server/posts/parsecost.h"

#include <QByteArrayView>

#include <array>

namespace {

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isTagSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The elements a parser keeps on its list of active formatting elements.
constexpr std::array<QByteArrayView, 14> formattingTags{
    "a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike", "strong", "tt",
    "u"};

// Its place among formattingTags, or -1.
int formattingIndex(QByteArrayView tag)
{
    for (size_t i = 0; i < formattingTags.size(); ++i) {
        if (formattingTags[i] == tag)
            return int(i);
    }
    return -1;
}

// Elements whose content is not markup, up to their own end tag.
bool holdsRawText(QByteArrayView tag)
{
    for (QByteArrayView raw : {"script", "style", "textarea", "title", "xmp", "iframe",
                               "noembed", "noframes", "noscript"}) {
        if (raw == tag)
            return true;
    }
    return false;
}

// Index just past the '>' that ends a tag whose attributes start at `at`.
qsizetype skipTag(const QByteArray &html, qsizetype at)
{
    const qsizetype size = html.size();
    bool afterEquals = false;
    while (at < size) {
        const char c = html.at(at);
        if (c == '>')
            return at + 1;
        if (afterEquals && (c == '"' || c == '\'')) {
            const qsizetype close = html.indexOf(c, at + 1);
            if (close < 0)
                return size;
            at = close + 1;
            afterEquals = false;
            continue;
        }
        if (c == '=')
            afterEquals = true;
        else if (!isTagSpace(c))
            afterEquals = false;
        ++at;
    }
    return size;
}

} // namespace

qint64 parseCost(const QByteArray &fragment)
{
    if (!fragment.contains('<'))
        return fragment.isEmpty() ? 0 : 1; // one text
    const QByteArray html = fragment.toLower(); // tag names are matched without case
    std::array<qint64, formattingTags.size()> open{}; // formatting elements left open, by tag
    qint64 openTotal = 0;
    qint64 cost = 0;
    const qsizetype size = html.size();
    qsizetype at = 0;
    while (at < size) {
        const qsizetype lt = html.indexOf('<', at);
        if (lt != at)
            cost += 1 + openTotal; // a text, where open formatting is reopened
        if (lt < 0)
            break;
        at = lt + 1;
        if (QByteArrayView(html).sliced(at).startsWith("!--")) {
            const qsizetype end = html.indexOf("-->", at + 3);
            at = end < 0 ? size : end + 3;
            continue;
        }
        const bool endTag = at < size && html.at(at) == '/';
        if (endTag)
            ++at;
        if (at >= size || !isAsciiLetter(html.at(at))) {
            if (endTag || (at < size && (html.at(at) == '!' || html.at(at) == '?'))) { // a bogus comment
                const qsizetype end = html.indexOf('>', at);
                at = end < 0 ? size : end + 1;
            }
            continue;
        }
        const qsizetype nameStart = at;
        while (at < size && !isTagSpace(html.at(at)) && html.at(at) != '/' && html.at(at) != '>')
            ++at;
        const QByteArrayView tag = QByteArrayView(html).sliced(nameStart, at - nameStart);
        at = skipTag(html, at);
        const int formatting = formattingIndex(tag);
        if (endTag) {
            if (formatting >= 0 && open[formatting] > 0) {
                --open[formatting];
                --openTotal;
            }
            continue;
        }
        cost += 1 + openTotal;
        if (formatting >= 0) {
            ++open[formatting];
            ++openTotal;
        } else if (tag == "plaintext") {
            break; // the rest is text
        } else if (holdsRawText(tag)) {
            const qsizetype end = html.indexOf("</" + tag.toByteArray(), at);
            at = end < 0 ? size : end;
        }
    }
    return cost;
}
