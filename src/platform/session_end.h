// The end of the user's session (logoff, shutdown, restart) as the system
// announces it to windows: on Windows a console program that has loaded
// user32 gets no control event for it, only its top-level windows do.
#pragma once

namespace tavrelon::platform {

// Windows: starts a thread that keeps one hidden top-level window (a
// message-only window gets no broadcasts). When the session is about to end
// it says so (sessionEnding); when it ends it requests a stop and holds the
// system's end until this process has ended, within the grace the system gives.
// Elsewhere nothing: a logoff there is a signal (SIGHUP, SIGTERM).
void watchSessionEnd();

// True from the system's question whether the session may end until it is
// called off, and for good once it ends: a run that ends now was ended by the
// system, not by its program or the operator.
bool sessionEnding();

}  // namespace tavrelon::platform
