#include "metricsreader.h"

#include "httpanswer.h"
#include "plainsender.h"

#include <QList>

namespace kit {

QByteArray scrapeMetrics(quint16 metricsPort)
{
    const QByteArray answer = exchange(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    if (status(answer) != 200 || !header(answer, "Content-Type").startsWith("text/plain; version=0.0.4"))
        return {};
    return bodyOf(answer);
}

double sample(const QByteArray &metricsText, const QByteArray &series)
{
    for (const QByteArray &line : metricsText.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

} // namespace kit
