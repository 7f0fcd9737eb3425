#include "ui/forumchecker.h"

#include <QNetworkReply>

ForumChecker::ForumChecker(QObject *parent)
    : QObject(parent)
{
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

void ForumChecker::check(const QList<Page> &pages)
{
    m_queue = pages;
    if (!m_reply)
        next();
}

void ForumChecker::stop()
{
    m_queue.clear();
    if (QNetworkReply *reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void ForumChecker::next()
{
    if (m_queue.isEmpty()) {
        Q_EMIT roundEnded();
        return;
    }
    m_current = m_queue.takeFirst();
    QNetworkRequest request(m_current.address);
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    if (!m_current.seen.etag.isEmpty())
        request.setRawHeader("If-None-Match", m_current.seen.etag);
    m_reply = m_network.get(request);
    // A page beyond the cap says nothing worth its memory.
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (m_reply && m_reply->bytesAvailable() > pageCapBytes)
            m_reply->abort();
    });
    connect(m_reply, &QNetworkReply::finished, this, &ForumChecker::onFinished);
}

void ForumChecker::onFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && (status == 200 || status == 304)) {
        const PageSeen now = status == 304 ? m_current.seen
                                           : pageSeen(reply->rawHeader("ETag"), reply->read(pageCapBytes));
        Q_EMIT checked(m_current.forum, now, pageChanged(m_current.seen, status, now));
    }
    next();
}
