#pragma once
// At start, before any port listens: what the spool holds past the
// database's mark for it is stored, each post once, and the spool emptied.

#include "server/base/logsink.h"

#include <QString>

class ForumStore;
class Spool;

namespace spoolreplay {

// On the main thread, with a store open; *last: the highest sequence the
// spool or the database's mark knows, from which new posts count on.
bool replay(ForumStore &store, Spool &spool, const LogSink &log, quint64 *last,
            QString *error);

} // namespace spoolreplay
