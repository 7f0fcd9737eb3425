// The field utilities and the directory's reply splitting agree, and never crash.
#include "../fuzz/fuzzinput.h"
#include "directory/listreply.h"
#include "text/basstring.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString reply = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList names = directoryNames(reply);
    const qint32 count = instrCount(reply, QStringLiteral("*"));

    // Below the 16-bit limit, taking every field with NthField gives the same names.
    if (reply.size() < 30000) {
        QStringList byField;
        for (qint32 i = 1; i <= count + 1; ++i) {
            const QString field = basString::NthField(reply, QStringLiteral("*"), qint16(i));
            if (!field.isEmpty())
                byField.append(field);
        }
        if (byField != names)
            std::abort();
    }
    for (const QString &name : names)
        if (name.isEmpty() || name.contains(QLatin1Char('*')))
            std::abort();

    // Any field number either gives a field or the overflow failure.
    const qint16 n = size >= 2 ? qint16(data[0] | (data[1] << 8)) : 1;
    try {
        (void)basString::NthField(reply, QStringLiteral("*"), n);
    } catch (const basString::FieldOverflow &) {
    }
    return 0;
}
