#pragma once
// Local checks on a forum name before it is sent.

#include <QString>

enum class ForumNameCheck { Ok, ForbiddenCharacter, HiddenCharacter, Empty };

// The nine characters a forum name must not hold: " | > < ? : \ / *
inline constexpr char16_t forbiddenNameCharacters[] = u"\"|><?:\\/*";

// Forbidden characters are tested first, then controls and invisible ones
// (namecharacters.h), then emptiness; blanks are a name.
ForumNameCheck checkForumName(const QString &name);
