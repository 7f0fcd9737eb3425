#pragma once
// What an operator sees of the server, in the Prometheus text format
// (names prefixed "tavernly_"). One set per process: every update is an
// atomic step, safe from any thread and cheap enough for every request.

#include <QtGlobal>
#include <string>

namespace metrics {

// Ports are named "list", "create", "post", "http" and "metrics".
void connectionAccepted(const std::string &port);
void connectionClosed(const std::string &port);
// reason: "limit" (made room for a newcomer), "deadline" (request too slow),
// "idle" (nothing more after an answer), "proxy_header" (a trusted proxy's
// connection without a valid PROXY header).
void connectionCut(const std::string &port, const char *reason);
// outcome: the page port's status code, or what the request came to
// ("answered", "refused", "created", "exists", "failed", "taken", "dropped", "limited"); a
// post is "taken" once acknowledged, "refused" when reset.
void requestDone(const std::string &port, const std::string &outcome);
// what: "create" or "post", refused because its address is over its limit.
void limited(const char *what);

void postReceived();
void postEscaped(); // markup over the parse budget, kept as escaped text
// reason: "malformed", "too_large", "not_utf8", "too_long" (a title), "incomplete",
// "unknown_forum", "spool_full", "spool_failed", "database_lost", "stopping"
// (all before the acknowledgement).
void postRefused(const char *reason);
// Acknowledged, refused by the database while it stores others, kept in the quarantine file.
void postQuarantined();
void postBytesWaiting(qint64 bytes); // taken in and not yet committed
// The spool on disk: what it holds of posts not yet stored, and its budget
// (--spool-budget), past which posts are refused.
void spoolBytes(qint64 bytes);
void spoolBudget(qint64 bytes);
void batchCommitted(qint64 posts, double seconds);

void databaseUp(bool up);
void databaseReconnected();

void pageCacheHit();
void pageBuilt(); // none was held that was recent enough

// The whole exposition, as GET /metrics answers it.
std::string text();

} // namespace metrics
