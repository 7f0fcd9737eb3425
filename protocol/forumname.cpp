#include "protocol/forumname.h"

#include "protocol/namecharacters.h"

#include <QStringView>
#include <iterator>

ForumNameCheck checkForumName(const QString &name)
{
    for (const QChar c : QStringView(forbiddenNameCharacters, qsizetype(std::size(forbiddenNameCharacters)) - 1)) {
        if (name.contains(c))
            return ForumNameCheck::ForbiddenCharacter;
    }
    if (checkNameCharacters(name) != NameCharacters::Ok)
        return ForumNameCheck::HiddenCharacter;
    if (name.isEmpty())
        return ForumNameCheck::Empty;
    return ForumNameCheck::Ok;
}
