#pragma once
// Answers as they go on the wire: the status line and headers for an entity
// and a request, and the negotiation they depend on (gzip, validators).

#include "server/http/entity.h"

namespace http {

// The status line and headers of the answer to `request`; *body: what
// follows them (shared with the entity, not copied), and *fileOffset where
// the body starts in the entity's file (-1: no body, or no file). For HEAD
// the same headers as for GET, without the body.
QByteArray headers(const Entity &entity, const Request &request, QByteArray *body,
                   qint64 *fileOffset = nullptr);

// Whether an Accept-Encoding value allows gzip ("gzip;q=0" does not).
bool acceptsGzip(const QByteArray &acceptEncoding);
// Whether an If-None-Match value holds `etag` (or "*"); weak tags compare by their value.
bool matchesEntityTag(const QByteArray &ifNoneMatch, const QByteArray &etag);

} // namespace http
