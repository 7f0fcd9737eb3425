#pragma once
// The server's metrics port as a scraper reads it.

#include <QByteArray>

namespace kit {

// The text of GET /metrics; empty unless answered 200 in the Prometheus text format.
QByteArray scrapeMetrics(quint16 metricsPort);
// A sample's value in that text ("name{labels} value"); -1 if it is not there.
double sample(const QByteArray &metricsText, const QByteArray &series);

} // namespace kit
