#include "server/posts/parsecost.h"

#include <QHash>
#include <QSet>

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
bool isFormatting(const QByteArray &tag)
{
    static const QSet<QByteArray> tags{"a",     "b",      "big",    "code", "em",
                                       "font",  "i",      "nobr",   "s",    "small",
                                       "strike", "strong", "tt",    "u"};
    return tags.contains(tag);
}

// Elements whose content is not markup, up to their own end tag.
bool holdsRawText(const QByteArray &tag)
{
    static const QSet<QByteArray> tags{"script", "style",    "textarea", "title", "xmp",
                                       "iframe", "noembed", "noframes", "noscript"};
    return tags.contains(tag);
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
    const QByteArray html = fragment.toLower(); // tag names are matched without case
    QHash<QByteArray, qint64> open;
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
        if (html.mid(at, 3) == "!--") {
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
        const QByteArray tag = html.mid(nameStart, at - nameStart);
        at = skipTag(html, at);
        if (endTag) {
            qint64 &count = open[tag];
            if (count > 0) {
                --count;
                --openTotal;
            }
            continue;
        }
        cost += 1 + openTotal;
        if (isFormatting(tag)) {
            ++open[tag];
            ++openTotal;
        } else if (tag == "plaintext") {
            break; // the rest is text
        } else if (holdsRawText(tag)) {
            const qsizetype end = html.indexOf("</" + tag, at);
            at = end < 0 ? size : end;
        }
    }
    return cost;
}
