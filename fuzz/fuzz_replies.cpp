// The create reply is recognised the same however it is cut into pieces.
#include "protocol/replies.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    const CreateReply whole = classifyCreateReply(reply);
    if ((whole == CreateReply::Exists) != (reply == "EXISTS")
        || (whole == CreateReply::Created) != (reply == "CREATED"))
        std::abort();

    // Gathering piece by piece stops at the first verdict that is not Incomplete.
    QByteArray gathered;
    CreateReply verdict = CreateReply::Incomplete;
    for (char byte : reply) {
        gathered.append(byte);
        verdict = classifyCreateReply(gathered);
        if (verdict != CreateReply::Incomplete)
            break;
    }
    if (gathered == reply && verdict != whole)
        std::abort();
    if (verdict == CreateReply::Unrecognised && whole != CreateReply::Unrecognised)
        std::abort();
    return 0;
}
