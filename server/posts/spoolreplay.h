#pragma once
// At start, before any port listens, and by `drain`: what the spool holds
// past the database's mark for it is stored by the writer's rules (each post
// once, failures tried again until they pass, a post the database refuses
// quarantined), a segment at a time, and the spool emptied.

#include "server/base/logsink.h"

#include <QString>

class ForumStore;
class Quarantine;
class Spool;

namespace spoolreplay {

// On the main thread, with a store open; *last: the highest sequence the
// spool or the database's mark knows, from which new posts count on. False
// with *error only when a post could not be quarantined.
bool replay(ForumStore &store, Spool &spool, const Quarantine &quarantine, const LogSink &log,
            quint64 *last, QString *error);

} // namespace spoolreplay
