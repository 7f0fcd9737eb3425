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


} // namespace requestrules
