#pragma once
// The quarantine from the command line: list the posts it keeps, or store
// them again once the cause is mended (each once, however often run).

#include "server/store/databaseurl.h"

#include <QString>
#include <QStringList>

namespace quarantinecommand {

// "quarantine" lists, one post a line on standard output; "quarantine
// restore" stores each post the database now takes and keeps the others.
// The exit status: 0 done (every post restored), 1 some are still kept or
// the database failed, 2 a command this program does not know.
int run(const QStringList &arguments, const QString &dataDir, const DatabaseUrl &database);

} // namespace quarantinecommand
