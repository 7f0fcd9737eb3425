// The preview page holds the title and body verbatim between its fixed pieces.
#include "../fuzz/fuzzinput.h"
#include "ui/previewpage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QString> texts = fuzzTexts(data, size, 2);
    const QString page = previewPage(texts[0], texts[1]);
    const QString head = QStringLiteral(
        "<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b><font color=\"#FFFFFF\">");
    const QString middle =
        QStringLiteral("</b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">");
    const QString tail = QStringLiteral("</font></td></tr></table><br>");
    if (page != head + texts[0] + middle + texts[1] + tail)
        std::abort();
    return 0;
}
