#pragma once
// Asks the server, one request at a time, whether forums' first pages have
// changed: each request names the validator last seen (If-None-Match), so an
// unchanged page costs a 304; a server without validators sends the page,
// which is compared by its hash. Lives on the user-interface thread.

#include "ui/watchedforums.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <QNetworkReply>

class ForumChecker : public QObject
{
    Q_OBJECT
public:
    struct Page
    {
        QString forum;
        QUrl address;
        PageSeen seen;
    };

    explicit ForumChecker(QObject *parent = nullptr);

    // Checks these pages in turn. A round still under way keeps its current
    // request; the pages it had not reached yet give way to these.
    void check(const QList<Page> &pages);
    void stop();
    bool isChecking() const { return m_reply != nullptr; }

Q_SIGNALS:
    // The server answered for forum: now is what its page is, changed whether
    // it differs from what was seen.
    void checked(const QString &forum, const PageSeen &now, bool changed);
    // Every page of the round has been asked for and answered (or failed).
    void roundEnded();

private:
    void next();
    void onFinished();

    QNetworkAccessManager m_network;
    QList<Page> m_queue;
    Page m_current;
    QPointer<QNetworkReply> m_reply;
    static constexpr int timeoutMs = 30000;
    static constexpr qint64 pageCapBytes = 16 * 1024 * 1024; // as the page view's
};
