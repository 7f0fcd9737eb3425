#include "protocol/listreply.h"

QStringList directoryNames(QStringView reply)
{
    QStringList names;
    names.reserve(reply.count(u'*') + 1);
    qsizetype start = 0;
    while (start <= reply.size()) {
        qsizetype end = reply.indexOf(u'*', start);
        if (end < 0)
            end = reply.size();
        if (end > start)
            names.append(reply.sliced(start, end - start).toString());
        start = end + 1;
    }
    return names;
}
