// Programs that do not outlive a watchdog killed outright (SIGKILL, the
// out-of-memory killer, Task Manager): each backend ties the process groups
// it starts to the watchdog's own life. Not for callers outside src/platform.
#pragma once

#include <cstdint>

namespace tavrelon::platform::backend {

// POSIX: from now on, `leader`'s process group is ended (SIGKILL) once this
// process has ended in any way, unless `leader` itself has ended and been
// reaped by then: a program that ends by itself leaves its children alone.
// A small guardian process, forked at the first call, watches for the end.
void guardProcessGroup(std::uint32_t leader);

// POSIX: the guardian's process id, 0 before the first guardProcessGroup() or
// when none could be started. It is our child but none of a program's.
std::uint32_t guardianProcessId();

// Windows: takes back the job's kill-on-close limit before the job's handle
// is closed, so that a program that ended by itself leaves its children
// alone. Kill on close stays for as long as the watchdog holds the handle,
// which its death closes. `job` is the job's HANDLE.
void releaseJobAtClose(void* job);

}  // namespace tavrelon::platform::backend
