#include "server/wire/requestrules.h"

#include "protocol/namecharacters.h"

#include <QByteArrayView>
#include <QList>

namespace requestrules {

namespace {
const QByteArray listRequest = QByteArrayLiteral("GETLIST");
} // namespace

ListRequest classifyListRequest(const QByteArray &gathered)
{
    if (gathered.startsWith(listRequest))
        return ListRequest::Complete;
    if (listRequest.startsWith(gathered))
        return ListRequest::Incomplete;
    return ListRequest::Invalid;
}

NameCheck checkNewForumName(const QByteArray &raw, QString *name)
{
    if (raw.isEmpty())
        return NameCheck::Empty;
    // A lossy decode would store a name other than the one that was sent.
    const QString decoded = QString::fromUtf8(raw);
    if (decoded.toUtf8() != raw)
        return NameCheck::NotUtf8;
    const QList<uint> codePoints = decoded.toUcs4();
    for (uint c : codePoints) {
        if (c < 0x80 && QByteArrayView(forbiddenNameCharacters).contains(char(c)))
            return NameCheck::ForbiddenCharacter;
    }
    // The client's own rule: what it lets through is never refused here.
    switch (checkNameCharacters(decoded)) {
    case NameCharacters::Control: return NameCheck::ControlCharacter;
    case NameCharacters::Invisible: return NameCheck::FormatCharacter;
    case NameCharacters::Ok: break;
    }
    if (codePoints.size() > maxNameCharacters)
        return NameCheck::TooLong;
    if (name)
        *name = decoded;
    return NameCheck::Ok;
}

QString describe(NameCheck check)
{
    switch (check) {
    case NameCheck::Ok: return QStringLiteral("valid");
    case NameCheck::Empty: return QStringLiteral("empty name");
    case NameCheck::TooLong: return QStringLiteral("name longer than 40 characters");
    case NameCheck::ForbiddenCharacter: return QStringLiteral("name holds a forbidden character");
    case NameCheck::ControlCharacter: return QStringLiteral("name holds a control character");
    case NameCheck::FormatCharacter:
        return QStringLiteral("name holds an invisible formatting character");
    case NameCheck::NotUtf8: return QStringLiteral("name is not UTF-8");
    }
    return {};
}

std::optional<PostFields> splitPost(const QByteArray &request)
{
    const qsizetype first = request.indexOf('*');
    if (first < 0)
        return std::nullopt;
    const qsizetype second = request.indexOf('*', first + 1);
    if (second < 0)
        return std::nullopt;
    return PostFields{request.left(first), request.mid(first + 1, second - first - 1),
                      request.mid(second + 1)};
}

PostFieldsCheck checkPostFields(const PostFields &fields)
{
    if (!isUtf8(fields.title) || !isUtf8(fields.body))
        return PostFieldsCheck::NotUtf8;
    if (fields.title.size() > maxTitleBytes)
        return PostFieldsCheck::TitleTooLong;
    return PostFieldsCheck::Ok;
}

bool isUtf8(QByteArrayView bytes)
{
    const auto *at = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = at + bytes.size();
    while (at < end) {
        const unsigned char lead = *at++;
        if (lead < 0x80)
            continue;
        // The bytes that follow the lead, and the least code point they may
        // spell (less would be an overlong form).
        const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if (lead < 0xC2 || lead > 0xF4)
            return false;
        char32_t code = lead & (0x3F >> more);
        const char32_t least = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
        if (end - at < more)
            return false;
        for (int i = 0; i < more; ++i) {
            if ((at[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (at[i] & 0x3F);
        }
        at += more;
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

} // namespace requestrules
