#pragma once
// What the HTTP port answers from. The port knows nothing of forums, posts
// or the database: it asks its source for an answer, and waits (without
// blocking) when the source says the answer is not ready.

#include "server/http/entity.h"

#include <QObject>
#include <optional>

// Lives on the main thread.
class PageSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The answer to HAProxy's check at /health, from memory and at once:
    // 200, or 503 while the source cannot serve.
    static constexpr const char *healthPath = "/health";
    virtual http::Entity health() const = 0;
    // The source's own 503 (try again in a moment) and 400 (a request the
    // port could not read).
    virtual http::Entity busy() const = 0;
    virtual http::Entity badRequest() const = 0;

    // What `target` addresses, read once per request.
    virtual http::Address address(const QByteArray &target) const = 0;
    // A page shows what was sent before it was asked for: returns the
    // number of the last change the answer at `address` must show, and
    // storedUpTo() tells when everything up to a number is in.
    virtual quint64 settle(const http::Address &address) = 0;
    virtual bool isStored(quint64 upTo) const = 0;
    // False while the source cannot serve at all: answers come at once (503).
    virtual bool isAvailable() const = 0;

    // Grows with every change to what the answers show.
    virtual quint64 version() const = 0;
    // The answer to one request, from one built at version `since` or
    // later; none yet when it is being built (built() follows, for this
    // address or for one it waits on). The source may read the address
    // again (a forum it has learned of since). `requester`: the peer's
    // address, which may hold only a fair share of the builds.
    virtual std::optional<http::Entity> answer(const QByteArray &method, http::Address &address,
                                               quint64 since, const QString &requester) = 0;

signals:
    void built(const http::Address &address, quint64 version, const http::Entity &entity);
    void storedUpTo(quint64 upTo);
};
