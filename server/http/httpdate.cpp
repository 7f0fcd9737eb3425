#include "server/http/httpdate.h"

#include <cstdio>
#include <ctime>

namespace http {

QByteArray imfFixdate(qint64 secondsSinceEpoch)
{
    static constexpr const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t seconds = std::time_t(secondsSinceEpoch);
    std::tm utc{};
    if (!gmtime_r(&seconds, &utc))
        return {};
    char text[64];
    // Names from the tables: strftime's follow the locale Qt sets.
    const int length = std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                                     days[utc.tm_wday], utc.tm_mday, months[utc.tm_mon],
                                     utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return length > 0 ? QByteArray(text, qMin(length, int(sizeof text) - 1)) : QByteArray();
}

QByteArray dateLine()
{
    thread_local qint64 second = -1;
    thread_local QByteArray line;
    const qint64 now = std::time(nullptr);
    if (now != second) {
        second = now;
        line = "Date: " + imfFixdate(now) + "\r\n";
    }
    return line;
}

} // namespace http
