#include "protocol/replies.h"

CreateReply classifyCreateReply(const QByteArray &gathered)
{
    static const QByteArray exists("EXISTS");
    static const QByteArray created("CREATED");
    if (gathered == exists)
        return CreateReply::Exists;
    if (gathered == created)
        return CreateReply::Created;
    // Only a reply that can still grow into one of the two is worth waiting for.
    if (exists.startsWith(gathered) || created.startsWith(gathered))
        return CreateReply::Incomplete;
    return CreateReply::Unrecognised;
}
