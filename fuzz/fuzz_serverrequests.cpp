// The server's request rules: consistent verdicts, and posts that split back whole.
#include "server/base/logsink.h"
#include "server/wire/requestrules.h"

#include <cstdlib>

using namespace requestrules;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    const ListRequest list = classifyListRequest(bytes);
    if ((list == ListRequest::Complete) != bytes.startsWith("GETLIST"))
        std::abort();
    if (list == ListRequest::Incomplete && !QByteArray("GETLIST").startsWith(bytes))
        std::abort();

    QString name;
    if (checkNewForumName(bytes, &name) == NameCheck::Ok) {
        if (name.isEmpty() || name.size() > maxNameCharacters || name.toUtf8() != bytes)
            std::abort();
        for (char c : forbiddenNameCharacters)
            if (c && name.contains(QLatin1Char(c)))
                std::abort();
    }

    if (const auto post = splitPost(bytes)) {
        if (post->forum.contains('*') || post->title.contains('*')
            || post->forum + '*' + post->title + '*' + post->body != bytes)
            std::abort();
    } else if (bytes.count('*') >= 2) {
        std::abort();
    }
    (void)logtext::printable(bytes);
    return 0;
}
