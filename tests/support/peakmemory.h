#pragma once
// A process's peak resident memory, as the kernel keeps it.

#include <QtGlobal>

namespace kit {

// VmHWM of /proc/<pid>/status in KiB; -1 when it cannot be read.
qint64 peakMemoryKiB(qint64 pid);

} // namespace kit
