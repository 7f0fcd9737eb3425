#include "protocol/postassembly.h"

#include <QTime>

PostCheck checkPost(const QString &title, const QString &body, const QString &selectedForum)
{
    static const QString refreshPattern = QStringLiteral("\"refresh\"");
    if (title.toLower().contains(refreshPattern) || body.toLower().contains(refreshPattern))
        return PostCheck::RefreshTag;
    if (body.contains(u'*') || title.contains(u'*'))
        return PostCheck::Asterisk;
    if (body.isEmpty() || title.isEmpty())
        return PostCheck::Empty;
    if (selectedForum.isEmpty())
        return PostCheck::NoForum;
    return PostCheck::Ok;
}

QString storedTitle(const QString &title, bool withStamp, const QString &dateTime)
{
    QString stored = QStringLiteral("<b>") + title + QStringLiteral("</b>");
    if (withStamp)
        stored += QStringLiteral("  <i>(") + dateTime + QStringLiteral(")</i>");
    return stored;
}

QString postRequest(const QString &forum, const QString &storedTitle, const QString &body)
{
    return forum + u'*' + storedTitle + u'*' + body;
}

namespace {

// A date/time format split into quoted literals, runs of one pattern letter,
// and single other characters, so that fields can be changed without touching
// literal text.
QStringList formatTokens(const QString &format)
{
    QStringList tokens;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format.at(i);
        qsizetype end = i + 1;
        if (c == u'\'') {
            // A quoted literal runs to the next lone quote; '' inside stands for one quote.
            while (end < format.size()) {
                if (format.at(end) == u'\'') {
                    if (end + 1 < format.size() && format.at(end + 1) == u'\'') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
        } else if (c.isLetter()) {
            while (end < format.size() && format.at(end) == c)
                ++end;
        }
        tokens.append(format.mid(i, end - i));
        i = end;
    }
    return tokens;
}

bool isBlank(const QString &token)
{
    return token.size() == 1 && token.at(0).isSpace();
}

// The short date with its year widened to four digits: a two-digit year is
// ambiguous in a message that stays on a forum for years.
QString stampDateFormat(const QLocale &locale)
{
    QStringList tokens = formatTokens(locale.dateFormat(QLocale::ShortFormat));
    for (QString &token : tokens) {
        if (token.startsWith(u'y') && token.size() != 4)
            token = QStringLiteral("yyyy");
    }
    return tokens.join(QString());
}

bool encloses(const QStringList &tokens, qsizetype first, qsizetype last)
{
    if (first == 0 || last + 1 >= tokens.size())
        return false;
    const QString &open = tokens.at(first - 1);
    const QString &close = tokens.at(last + 1);
    return (open == u"(" && close == u")") || (open == u"[" && close == u"]");
}

// The long time without its time-zone name (and the brackets or blanks that
// set it apart); the stamp is local time like the rest of the page.
QString stampTimeFormat(const QLocale &locale)
{
    QStringList tokens = formatTokens(locale.timeFormat(QLocale::LongFormat));
    for (qsizetype i = 0; i < tokens.size();) {
        // Some locales name a day period ("B") that Qt cannot format; AM/PM says the same.
        if (tokens.at(i).startsWith(u'B'))
            tokens[i] = QStringLiteral("AP");
        if (!tokens.at(i).startsWith(u't')) {
            ++i;
            continue;
        }
        qsizetype first = i;
        qsizetype last = i;
        if (encloses(tokens, first, last)) {
            --first;
            ++last;
        }
        // Drop the blanks on one side: before it, or after it when it opens the format.
        if (first > 0 && isBlank(tokens.at(first - 1)))
            --first;
        else if (last + 1 < tokens.size() && isBlank(tokens.at(last + 1)))
            ++last;
        tokens.remove(first, last - first + 1);
        i = first;
    }
    return tokens.join(QString()).trimmed();
}

} // namespace

QString dateTimeStamp(const QDateTime &moment, const QLocale &locale)
{
    const QString date = locale.toString(moment.date(), stampDateFormat(locale));
    const QTime time = moment.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;
    return date + u' ' + locale.toString(time, stampTimeFormat(locale));
}
