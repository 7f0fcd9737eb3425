#pragma once
// The listening sockets systemd hands a socket-activated service: LISTEN_FDS
// descriptors from 3 on, named by LISTEN_FDNAMES (FileDescriptorName= in the
// socket units), meant for the process LISTEN_PID names.

#include <QHash>
#include <QString>

namespace inheritedsockets {

// The port names the sockets may carry: "list", "create", "post", "pages".
bool isPortName(const QString &name);

// The descriptors by name, in whatever order they came; none when nothing
// was passed to this process. The variables are removed, so that nothing
// started from here takes them for its own. False, with *error, for sockets
// without a name, a name twice, or a name no port has.
bool take(QHash<QString, int> *byName, QString *error);

} // namespace inheritedsockets
