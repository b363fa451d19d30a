// Whether the running program has a console window of its own.
#pragma once

namespace tavrelon::platform {

// True when the calling process is the only one attached to its console: on
// Windows it was started in a console of its own (a double-click, a shortcut),
// which closes the moment it exits. False when it shares a console with the
// shell that started it, and always on POSIX, where a terminal outlives it.
bool consoleOfItsOwn();

}  // namespace tavrelon::platform
