// The directory's reply splitting agrees with a plain split and never crashes.
#include "../fuzz/fuzzinput.h"
#include "protocol/listreply.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString reply = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList names = directoryNames(reply);
    if (names != reply.split(QLatin1Char('*'), Qt::SkipEmptyParts))
        std::abort();
    for (const QString &name : names)
        if (name.isEmpty() || name.contains(QLatin1Char('*')))
            std::abort();
    return 0;
}
