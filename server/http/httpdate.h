#pragma once
// The Date header every answer carries.

#include <QByteArray>

namespace http {

// IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT", whatever the locale.
QByteArray imfFixdate(qint64 secondsSinceEpoch);

// "Date: <now>\r\n", made again only when the second has changed (per thread).
QByteArray dateLine();

} // namespace http
