#include "protocol/replies.h"

CreateReply classifyCreateReply(const QByteArray &gathered)
{
    static const QByteArray exists("EXISTS");
    static const QByteArray created("CREATED");
    static const QByteArray limited("LIMITED");
    if (gathered == exists)
        return CreateReply::Exists;
    if (gathered == created)
        return CreateReply::Created;
    if (gathered == limited)
        return CreateReply::Limited;
    // Only a reply that can still grow into a known one is worth waiting for.
    if (exists.startsWith(gathered) || created.startsWith(gathered)
        || limited.startsWith(gathered))
        return CreateReply::Incomplete;
    return CreateReply::Unrecognised;
}
