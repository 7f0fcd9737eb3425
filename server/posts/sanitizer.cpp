#include "server/posts/sanitizer.h"

#include "server/posts/plainmarkup.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <gumbo.h>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Deeper nesting keeps its text but loses its tags: a viewer need not lay out
// thousands of nested tables.
constexpr size_t maxDepth = 64;

enum class Kind { Text, Link, Picture, Color, Length, Number, FontSize, Face, Align, VAlign };

using Attributes = QHash<QByteArray, Kind>;

const QHash<QByteArray, Attributes> &allowedTags()
{
    static const QHash<QByteArray, Attributes> tags = [] {
        const Attributes cell{{"bgcolor", Kind::Color}, {"align", Kind::Align},
                              {"valign", Kind::VAlign}, {"width", Kind::Length},
                              {"colspan", Kind::Number}, {"rowspan", Kind::Number}};
        QHash<QByteArray, Attributes> t{
            {"a", {{"href", Kind::Link}, {"title", Kind::Text}}},
            {"img",
             {{"src", Kind::Picture}, {"alt", Kind::Text}, {"title", Kind::Text},
              {"width", Kind::Length}, {"height", Kind::Length}, {"border", Kind::Number}}},
            {"font", {{"color", Kind::Color}, {"size", Kind::FontSize}, {"face", Kind::Face}}},
            {"p", {{"align", Kind::Align}}},
            {"div", {{"align", Kind::Align}}},
            {"table",
             {{"border", Kind::Number}, {"cellpadding", Kind::Number},
              {"cellspacing", Kind::Number}, {"width", Kind::Length}, {"bgcolor", Kind::Color},
              {"align", Kind::Align}}},
            {"tr", {{"bgcolor", Kind::Color}, {"align", Kind::Align}, {"valign", Kind::VAlign}}},
            {"td", cell},
            {"th", cell},
        };
        for (const char *plain : {"b", "i", "u", "s", "strike", "em", "strong", "small", "big",
                                  "sub", "sup", "tt", "code", "pre", "blockquote", "center",
                                  "span", "br", "hr", "ul", "ol", "li", "h1", "h2", "h3", "h4",
                                  "h5", "h6", "tbody", "thead", "tfoot", "caption"})
            t.insert(plain, {});
        return t;
    }();
    return tags;
}

// Tags whose content is code, a nested document or a form control, never text to show.
bool dropsContent(const QByteArray &tag)
{
    static const QSet<QByteArray> tags{
        "script", "style",  "iframe", "frame",  "frameset", "object", "embed",  "applet",
        "noscript", "noembed", "noframes", "template", "head", "title", "meta", "link",
        "base",   "textarea", "select", "button", "input", "param", "source", "track",
        "audio",  "video",  "canvas", "map",    "area",   "svg",    "math",   "xmp",
        "plaintext"};
    return tags.contains(tag);
}

bool isVoid(const QByteArray &tag)
{
    return tag == "br" || tag == "hr" || tag == "img";
}

// Browsers skip spaces and control characters around a URL and tabs and
// line breaks inside it before reading the scheme, so they go here too.
QString cleanUrl(const QString &value)
{
    QString cleaned;
    cleaned.reserve(value.size());
    for (QChar c : value) {
        if (c.unicode() > 0x20 && c.unicode() != 0x7f)
            cleaned += c;
    }
    return cleaned;
}

bool hasScheme(const QString &url, std::initializer_list<QLatin1StringView> schemes)
{
    for (QLatin1StringView scheme : schemes) {
        if (url.startsWith(scheme, Qt::CaseInsensitive) && url.size() > scheme.size())
            return true;
    }
    return false;
}

// The value to write for an allowed attribute, or a null string to leave it out.
QString acceptedValue(Kind kind, const QString &value)
{
    static const QRegularExpression color(QStringLiteral("^(#[0-9A-Fa-f]{3,8}|[A-Za-z]{1,20})$"));
    static const QRegularExpression length(QStringLiteral("^[0-9]{1,4}%?$"));
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,3}$"));
    static const QRegularExpression fontSize(QStringLiteral("^[+-]?[0-9]$"));
    static const QRegularExpression face(QStringLiteral("^[A-Za-z0-9 ,_-]{1,64}$"));
    static const QRegularExpression align(QStringLiteral("^(left|right|center|justify)$"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression valign(QStringLiteral("^(top|middle|bottom|baseline)$"),
                                           QRegularExpression::CaseInsensitiveOption);
    auto matching = [&value](const QRegularExpression &re) {
        return re.match(value).hasMatch() ? value : QString();
    };
    switch (kind) {
    case Kind::Text: return value.isNull() ? QStringLiteral("") : value;
    case Kind::Link: {
        const QString url = cleanUrl(value);
        using namespace Qt::Literals::StringLiterals;
        return hasScheme(url, {"http://"_L1, "https://"_L1, "mailto:"_L1}) ? url : QString();
    }
    case Kind::Picture: {
        const QString url = cleanUrl(value);
        using namespace Qt::Literals::StringLiterals;
        return hasScheme(url, {"http://"_L1, "https://"_L1}) ? url : QString();
    }
    case Kind::Color: return matching(color);
    case Kind::Length: return matching(length);
    case Kind::Number: return matching(number);
    case Kind::FontSize: return matching(fontSize);
    case Kind::Face: return matching(face);
    case Kind::Align: return matching(align);
    case Kind::VAlign: return matching(valign);
    }
    return {};
}

void appendEscaped(QString &out, const QString &text, bool inAttribute)
{
    for (QChar c : text) {
        switch (c.unicode()) {
        case '&': out += u"&amp;"; break;
        case '<': out += u"&lt;"; break;
        case '>': out += u"&gt;"; break;
        case '"':
            if (inAttribute) {
                out += u"&quot;";
                break;
            }
            Q_FALLTHROUGH();
        default: out += c;
        }
    }
}

QByteArray tagName(const GumboNode *node)
{
    if (node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML)
        return QByteArrayLiteral("svg"); // foreign content is dropped like its root
    return QByteArray(gumbo_normalized_tagname(node->v.element.tag));
}

void appendStartTag(QString &out, const QByteArray &tag, const Attributes &allowed,
                    const GumboVector &attributes)
{
    out += u'<';
    out += QLatin1StringView(tag);
    QSet<QByteArray> written;
    for (unsigned int i = 0; i < attributes.length; ++i) {
        const auto *attribute = static_cast<const GumboAttribute *>(attributes.data[i]);
        const QByteArray name(attribute->name);
        const auto kind = allowed.constFind(name);
        if (kind == allowed.cend() || written.contains(name))
            continue;
        const QString value = acceptedValue(*kind, QString::fromUtf8(attribute->value));
        if (value.isNull())
            continue;
        written.insert(name);
        out += u' ';
        out += QLatin1StringView(name);
        out += u"=\"";
        appendEscaped(out, value, true);
        out += u'"';
    }
    out += u'>';
}

const GumboNode *findBody(const GumboNode *root)
{
    const GumboVector &children = root->v.element.children;
    for (unsigned int i = 0; i < children.length; ++i) {
        const auto *child = static_cast<const GumboNode *>(children.data[i]);
        if (child->type == GUMBO_NODE_ELEMENT && child->v.element.tag == GUMBO_TAG_BODY)
            return child;
    }
    return nullptr;
}

// Writes the body's content back; with textOnly, only its text, up to limit characters.
QString serialize(const GumboNode *body, bool textOnly, qsizetype limit)
{
    // Walked with an explicit stack: a hostile body may nest very deeply.
    struct Frame
    {
        const GumboNode *node;
        unsigned int next;
        QByteArray closeTag; // empty when the element's tag was not written
    };
    QString out;
    std::vector<Frame> stack{{body, 0, {}}};
    while (!stack.empty() && out.size() <= limit) {
        Frame &frame = stack.back();
        const GumboVector &children = frame.node->v.element.children;
        if (frame.next >= children.length) {
            if (!frame.closeTag.isEmpty()) {
                out += u"</";
                out += QLatin1StringView(frame.closeTag);
                out += u'>';
            }
            stack.pop_back();
            continue;
        }
        const auto *child = static_cast<const GumboNode *>(children.data[frame.next++]);
        switch (child->type) {
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_WHITESPACE:
        case GUMBO_NODE_CDATA:
            appendEscaped(out, QString::fromUtf8(child->v.text.text), false);
            break;
        case GUMBO_NODE_ELEMENT: {
            const QByteArray tag = tagName(child);
            if (dropsContent(tag))
                break;
            const auto rule = allowedTags().constFind(tag);
            const bool write = !textOnly && rule != allowedTags().cend() && stack.size() <= maxDepth;
            if (write)
                appendStartTag(out, tag, *rule, child->v.element.attributes);
            stack.push_back({child, 0, write && !isVoid(tag) ? tag : QByteArray()});
            break;
        }
        case GUMBO_NODE_COMMENT:
        case GUMBO_NODE_TEMPLATE:
        case GUMBO_NODE_DOCUMENT:
            break;
        }
    }
    if (textOnly && out.size() > limit)
        out.truncate(limit);
    return out;
}

// The escaped source, cut at limit without splitting an entity.
QString escapedSource(const QByteArray &fragment, qsizetype limit)
{
    QString out;
    const QString text = QString::fromUtf8(fragment);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype before = out.size();
        appendEscaped(out, text.mid(i, 1), false);
        if (out.size() > limit) {
            out.truncate(before);
            break;
        }
    }
    return out;
}

} // namespace

QString sanitizeHtml(const QByteArray &raw, bool *escaped, Shortcuts shortcuts)
{
    const QByteArray fragment =
        raw.contains('\0') ? QByteArray(raw).replace('\0', "\xEF\xBF\xBD") : raw;
    const qsizetype limit = sanitizedLimit(raw.size());
    const bool overBudget = parseCost(fragment) > maxParseCost;
    if (escaped)
        *escaped = overBudget;
    if (overBudget)
        return escapedSource(fragment, limit);
    if (shortcuts == Shortcuts::Taken) {
        if (std::optional<QString> html = writtenWithoutParsing(fragment, limit))
            return *std::move(html);
    }

    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    auto destroy = [&options](GumboOutput *output) { gumbo_destroy_output(&options, output); };
    std::unique_ptr<GumboOutput, decltype(destroy)> output(
        gumbo_parse_with_options(&options, fragment.constData(), size_t(fragment.size())),
        destroy);
    const GumboNode *body = output ? findBody(output->root) : nullptr;
    if (!body)
        return {};
    // Reopened formatting can make tag soup grow many times over when
    // written back; such a message is shown as its text alone.
    QString html = serialize(body, false, limit);
    if (html.size() > limit)
        html = serialize(body, true, limit);
    return html;
}
