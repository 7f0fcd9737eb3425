// A post that passes the checks is sent as three fields that read back whole.
#include "../fuzz/fuzzinput.h"
#include "protocol/postassembly.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QString> texts = fuzzTexts(data, size, 4);
    const QString &title = texts[0];
    const QString &body = texts[1];
    QString forum = texts[2];
    forum.remove(QLatin1Char('*')); // directory entries never hold the separator
    const PostCheck check = checkPost(title, body, forum);
    if (check != PostCheck::Ok)
        return 0;
    if (title.isEmpty() || body.isEmpty() || forum.isEmpty() || title.contains(QLatin1Char('*'))
        || body.contains(QLatin1Char('*')) || title.toLower().contains(QLatin1String("\"refresh\"")))
        std::abort();

    QString moment = texts[3];
    moment.remove(QLatin1Char('*'));
    const QString stored = storedTitle(title, !moment.isEmpty(), moment);
    const QStringList fields = postRequest(forum, stored, body).split(QLatin1Char('*'));
    if (fields.size() != 3 || fields[0] != forum || fields[1] != stored || fields[2] != body)
        std::abort();
    return 0;
}
