#pragma once
// Where the forum server is: one host, three request ports and the page port.

#include <QString>
#include <QUrl>

struct ServerEndpoint
{
    QString host;
    quint16 listPort = 8478;
    quint16 createPort = 8476;
    quint16 postPort = 8477;
    quint16 httpPort = 6340;
    QString serviceUrl; // the web address named in the connection-error message

    // The build's server and service address with the standard ports.
    static ServerEndpoint standard();

    QUrl startPage() const;                      // http://host:6340/dn.htm
    QUrl forumPage(const QString &forum) const;  // http://host:6340/tav/<name>.htm, name as one segment
};

// "Connection error.  Check your internet connection or visit <url> for maintenance schedules."
QString connectionErrorText(const QString &serviceUrl);
