#include "server/store/searchtext.h"

#include <QHash>

#include <algorithm>

namespace searchtext {

namespace {

// Tags after which a reader sees a new line or cell: the words on either side stay apart.
bool breaksWords(QStringView tag)
{
    static const QStringList breaking{
        QStringLiteral("br"), QStringLiteral("p"),  QStringLiteral("div"), QStringLiteral("li"),
        QStringLiteral("tr"), QStringLiteral("td"), QStringLiteral("th"),  QStringLiteral("table"),
        QStringLiteral("h1"), QStringLiteral("h2"), QStringLiteral("h3"),  QStringLiteral("h4"),
        QStringLiteral("h5"), QStringLiteral("h6"), QStringLiteral("ul"),  QStringLiteral("ol"),
        QStringLiteral("img"), QStringLiteral("hr"), QStringLiteral("blockquote")};
    qsizetype end = 0;
    while (end < tag.size() && tag[end].isLetterOrNumber())
        ++end;
    const QStringView name = tag.first(end);
    return std::any_of(breaking.cbegin(), breaking.cend(), [name](const QString &known) {
        return name.compare(known, Qt::CaseInsensitive) == 0;
    });
}

// One entity at the front of `text` ("&amp;..."): its character and length.
std::pair<QString, qsizetype> entity(QStringView text)
{
    const qsizetype semicolon = text.first(qMin(text.size(), qsizetype(12))).indexOf(u';');
    if (semicolon < 2)
        return {QStringLiteral("&"), 1};
    const QStringView name = text.sliced(1, semicolon - 1);
    if (name.startsWith(u'#')) {
        bool ok = false;
        const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
        const uint code = name.sliced(hex ? 2 : 1).toUInt(&ok, hex ? 16 : 10);
        if (ok && code > 0 && code <= 0x10FFFF) {
            const char32_t character = code;
            return {QString::fromUcs4(&character, 1), semicolon + 1};
        }
        return {QStringLiteral("&"), 1};
    }
    static const QHash<QString, QString> named{
        {QStringLiteral("amp"), QStringLiteral("&")},  {QStringLiteral("lt"), QStringLiteral("<")},
        {QStringLiteral("gt"), QStringLiteral(">")},   {QStringLiteral("quot"), QStringLiteral("\"")},
        {QStringLiteral("apos"), QStringLiteral("'")}, {QStringLiteral("nbsp"), QStringLiteral(" ")}};
    const auto found = named.constFind(name.toString());
    if (found == named.cend())
        return {QStringLiteral("&"), 1};
    return {*found, semicolon + 1};
}

bool isWordCharacter(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing: return true; // an accent written apart stays with its letter
    default: return QChar::isLetterOrNumber(c);
    }
}

} // namespace

QString visibleText(QStringView html)
{
    QString text;
    text.reserve(html.size());
    qsizetype i = 0;
    while (i < html.size()) {
        const QChar c = html[i];
        if (c == u'<') {
            const qsizetype close = html.indexOf(u'>', i);
            if (close < 0)
                break;
            QStringView tag = html.sliced(i + 1, close - i - 1);
            if (tag.startsWith(u'/'))
                tag = tag.sliced(1);
            if (breaksWords(tag))
                text += u' ';
            i = close + 1;
        } else if (c == u'&') {
            const auto [character, length] = entity(html.sliced(i));
            text += character;
            i += length;
        } else {
            text += c;
            ++i;
        }
    }
    return text;
}

QString fold(QStringView word)
{
    // Most words are ASCII letters and digits: lower case is all folding does to them.
    if (std::all_of(word.cbegin(), word.cend(), [](QChar c) {
            return c.unicode() < 0x80 && c.isLetterOrNumber();
        }))
        return word.toString().toLower();
    const QString decomposed =
        word.toString().toCaseFolded().normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (qsizetype i = 0; i < decomposed.size(); ++i) {
        const QChar c = decomposed[i];
        // Accents go; so does whatever a compatibility form brings that is
        // not a letter ("½" is "1⁄2"), so a word stays one word in every index.
        if (c.isLetterOrNumber() || c.isSurrogate())
            folded += c;
    }
    return folded;
}

QList<Span> wordsIn(QStringView text)
{
    QList<Span> spans;
    qsizetype start = -1;
    qsizetype i = 0;
    while (i <= text.size()) {
        char32_t c = 0;
        qsizetype width = 1;
        if (i < text.size()) {
            c = text[i].unicode();
            if (QChar::isHighSurrogate(c) && i + 1 < text.size()
                && text[i + 1].isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text[i], text[i + 1]);
                width = 2;
            }
        }
        const bool inWord = i < text.size() && isWordCharacter(c);
        if (inWord && start < 0)
            start = i;
        if (!inWord && start >= 0) {
            spans.append({start, i - start});
            start = -1;
        }
        i += width;
    }
    return spans;
}

QStringList foldedWords(QStringView text)
{
    QStringList words;
    for (const Span &span : wordsIn(text)) {
        QString word = fold(text.sliced(span.start, span.length));
        if (!word.isEmpty() && word.size() <= maxWordLength)
            words.append(std::move(word));
    }
    return words;
}

namespace {

bool isAsciiLetterOrDigit(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

// Appends the words of `text`, folded, each after a space once *out holds
// some. Every post's text passes here on the writer's thread: plain ASCII,
// as most is, is folded in one pass with what foldedWords() would make of it.
void appendWords(QString *out, QStringView text)
{
    if (!std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; })) {
        for (const QString &word : foldedWords(text)) {
            if (!out->isEmpty())
                *out += u' ';
            *out += word;
        }
        return;
    }
    qsizetype start = -1;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool inWord = i < text.size() && isAsciiLetterOrDigit(text[i].unicode());
        if (inWord && start < 0) {
            start = i;
        } else if (!inWord && start >= 0) {
            if (i - start <= maxWordLength) {
                if (!out->isEmpty())
                    *out += u' ';
                const qsizetype from = out->size();
                out->append(text.sliced(start, i - start));
                for (QChar *c = out->data() + from; c != out->data() + out->size(); ++c) {
                    if (c->unicode() >= u'A' && c->unicode() <= u'Z')
                        *c = QChar(c->unicode() + (u'a' - u'A'));
                }
            }
            start = -1;
        }
    }
}

} // namespace

QString indexed(const QString &titleHtml, const QString &bodyHtml)
{
    QString words;
    words.reserve(titleHtml.size() + bodyHtml.size());
    appendWords(&words, visibleText(titleHtml));
    appendWords(&words, visibleText(bodyHtml));
    return words;
}

} // namespace searchtext
