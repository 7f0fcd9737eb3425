#pragma once
// The three request ports' rules, on bytes already gathered from a connection.

#include <QByteArray>
#include <QString>
#include <optional>

namespace requestrules {

inline constexpr qsizetype maxNameBytes = 256;     // a longer create request is refused unread
inline constexpr qsizetype maxPostBytes = 64 * 1024;
inline constexpr int maxNameCharacters = 40;
// Far above the client's stored title (60 characters in bold, and a date stamp).
inline constexpr qsizetype maxTitleBytes = 2048;

// The nine characters a forum name must not hold.
inline constexpr char forbiddenNameCharacters[] = "\"|><?:\\/*";

enum class ListRequest {
    Incomplete, // a proper beginning of "GETLIST": wait for more
    Complete,   // starts with "GETLIST"
    Invalid,    // can no longer become "GETLIST"
};

ListRequest classifyListRequest(const QByteArray &gathered);

enum class NameCheck {
    Ok,
    Empty,
    TooLong,             // more than 40 characters
    ForbiddenCharacter,  // one of the nine
    ControlCharacter,
    FormatCharacter,     // invisible, outside an emoji sequence: direction overrides and the like
    NotUtf8,
};

// Checks the bytes of a create request; on Ok, *name receives the decoded name.
NameCheck checkNewForumName(const QByteArray &raw, QString *name = nullptr);

QString describe(NameCheck check);

struct PostFields
{
    QByteArray forum;
    QByteArray title;
    QByteArray body;
};

// Splits at the first two "*"; the body keeps any further ones.
std::optional<PostFields> splitPost(const QByteArray &request);

enum class PostFieldsCheck {
    Ok,
    NotUtf8,      // the title or the body
    TitleTooLong, // over maxTitleBytes
};

// What the database could not take as sent, checked before a post is acknowledged.
PostFieldsCheck checkPostFields(const PostFields &fields);

// Well-formed UTF-8: no overlong form, surrogate, or code point past U+10FFFF.
bool isUtf8(QByteArrayView bytes);

} // namespace requestrules
