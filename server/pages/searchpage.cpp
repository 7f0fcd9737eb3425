#include "server/pages/searchpage.h"

#include "protocol/messagemarkup.h"
#include "protocol/pageaddress.h"
#include "server/store/messagesearch.h"
#include "server/store/searchtext.h"

#include <QUrl>
#include <QUrlQuery>

namespace pages {

namespace {

constexpr qsizetype excerptLength = 200; // characters of a message's text shown
constexpr qsizetype excerptLead = 60; // of them before the first match

QString searchLink(const QStringList &words, qint64 page, const QString &text)
{
    const QString href = pageaddress::searchPath(words.join(u' '), page);
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(href.toHtmlEscaped(), text);
}

bool matches(const QString &word, const QStringList &words)
{
    const QString &last = words.last();
    return words.contains(word)
        || (last.size() >= messagesearch::minPrefixLength && word.startsWith(last));
}

QString resultsContent(const QStringList &words, const messagesearch::Found &found)
{
    const QString asked = words.join(u' ').toHtmlEscaped();
    QString content = QStringLiteral("<h2>Search: ") + asked + QStringLiteral("</h2>\n");
    if (found.total == 0)
        return content
            + QStringLiteral("<p>No message holds all of these words.</p>\n<p><a href=\"/dn.htm\">"
                             "All forums</a></p>\n");
    if (found.more && found.total >= messagesearch::maxCounted)
        content += QStringLiteral("<p>More than %1 messages hold these words; the newest %1 "
                                  "are shown.</p>\n")
                       .arg(messagesearch::maxCounted);
    else if (found.more)
        content += QStringLiteral("<p>More than %1 messages hold these words.</p>\n")
                       .arg(found.total);
    else
        content += found.total == 1
            ? QStringLiteral("<p>1 message holds these words.</p>\n")
            : QStringLiteral("<p>%1 messages hold these words.</p>\n").arg(found.total);
    for (const messagesearch::Hit &hit : found.hits) {
        const qint64 page = hit.newer / messagesPerPage + 1;
        const QString href =
            forumLink(hit.forum, int(page)) + QStringLiteral("#m") + QString::number(hit.number);
        content += QStringLiteral("<p><a href=\"%1\">%2</a></p>\n")
                       .arg(href.toHtmlEscaped(), hit.forum.toHtmlEscaped())
            + messagemarkup::table(hit.titleHtml, excerpt(hit.bodyHtml, words)) + u'\n';
    }
    // Past the page shown, only whether more follow is known.
    const bool older = found.more ? found.total < messagesearch::maxCounted
                                  : found.page * resultsPerPage < found.total;
    QStringList navigation;
    if (found.page > 1)
        navigation << searchLink(words, found.page - 1, QStringLiteral("Newer results"));
    if (older)
        navigation << searchLink(words, found.page + 1, QStringLiteral("Older results"));
    navigation << QStringLiteral("<a href=\"/dn.htm\">All forums</a>");
    return content + QStringLiteral("<p>") + navigation.join(QStringLiteral(" | "))
        + QStringLiteral("</p>\n");
}

} // namespace

std::optional<SearchTarget> readSearchTarget(const QByteArray &target)
{
    const QUrl url = QUrl::fromEncoded(target);
    if (!url.isValid() || url.path(QUrl::FullyEncoded) != QStringLiteral("/search"))
        return std::nullopt;
    SearchTarget read;
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("page"))) {
        bool ok = false;
        read.page = query.queryItemValue(QStringLiteral("page")).toLongLong(&ok);
        if (!ok || read.page < 1)
            return SearchTarget{{}, 1, 400};
    }
    // A form sends spaces as "+".
    QByteArray encoded = query.queryItemValue(QStringLiteral("q"), QUrl::FullyEncoded).toLatin1();
    encoded.replace('+', "%20");
    const QByteArray bytes = QByteArray::fromPercentEncoding(encoded);
    if (bytes.size() > maxQueryBytes)
        return SearchTarget{{}, 1, 414};
    read.words = searchtext::foldedWords(QString::fromUtf8(bytes));
    if (read.words.size() > maxQueryWords)
        return SearchTarget{{}, 1, 400};
    return read;
}

QString excerpt(const QString &bodyHtml, const QStringList &words)
{
    const QString text = searchtext::visibleText(bodyHtml).simplified();
    const QList<searchtext::Span> spans = searchtext::wordsIn(text);
    qsizetype start = 0;
    for (const searchtext::Span &span : spans) {
        if (matches(searchtext::fold(QStringView(text).sliced(span.start, span.length)), words)) {
            start = qMax<qsizetype>(0, span.start - excerptLead);
            break;
        }
    }
    // Whole words only at either end.
    for (const searchtext::Span &span : spans) {
        if (span.start >= start || span.start + span.length > start) {
            start = qMin(start, span.start);
            break;
        }
    }
    qsizetype end = qMin(text.size(), start + excerptLength);
    QString shown = start > 0 ? QStringLiteral("… ") : QString();
    qsizetype at = start;
    for (const searchtext::Span &span : spans) {
        if (span.start < start)
            continue;
        if (span.start + span.length > end) {
            end = span.start;
            break;
        }
        const QStringView word = QStringView(text).sliced(span.start, span.length);
        shown += text.mid(at, span.start - at).toHtmlEscaped();
        shown += matches(searchtext::fold(word), words)
            ? QStringLiteral("<b>") + word.toString().toHtmlEscaped() + QStringLiteral("</b>")
            : word.toString().toHtmlEscaped();
        at = span.start + span.length;
    }
    shown += text.mid(at, end - at).toHtmlEscaped();
    if (end < text.size())
        shown += QStringLiteral(" …");
    return shown;
}

Built buildSearch(const ForumStore &store, const QStringList &words, qint64 page)
{
    Built built;
    if (words.isEmpty()) {
        built.page = {200, document(QStringLiteral("Search - ") + serviceName,
                                    QStringLiteral("<h2>Search</h2>\n<p>Type one or more words "
                                                   "to search for.</p>\n"))
                               .toUtf8()};
    } else {
        const messagesearch::Found found =
            messagesearch::find(store, words, page, resultsPerPage, searchTimeoutMs);
        built.page = found.ok
            ? Page{200, document(words.join(u' ') + QStringLiteral(" - Search - ") + serviceName,
                                 resultsContent(words, found))
                            .toUtf8()}
            : Page{503, failurePage()};
    }
    finish(built.page);
    return built;
}

QByteArray searchRefusedPage(int status)
{
    const QString sentence = status == 429
        ? QStringLiteral("Too many searches from your address just now. Please wait a minute "
                         "and search again.")
        : status == 414 ? QStringLiteral("These words are too long to search for. Please use "
                                         "fewer or shorter words.")
                        : QStringLiteral("Please search for at most %1 words at a time.")
                              .arg(maxQueryWords);
    return document(QStringLiteral("Search - ") + serviceName,
                    QStringLiteral("<h2>Search</h2>\n<p>") + sentence
                        + QStringLiteral("</p>\n<p><a href=\"/dn.htm\">All forums</a></p>\n"))
        .toUtf8();
}

} // namespace pages
