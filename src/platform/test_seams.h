// Test-only seams of the platform layer: hooks that shorten time or force a
// failure, and questions only a test asks. The shipped program never calls them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tavrelon::platform {

// While a hook is set, sleepMilliseconds(ms) and pauseUnlessStopped(ms) call
// hook(ms) instead of sleeping. An empty function restores real sleeping.
void setSleepHookForTesting(std::function<void(std::int64_t)> hook);

// Forgets an earlier stop request.
void clearStopRequestForTesting();

// True when this Windows build runs under Wine, whose file times and consoles
// differ from Windows'; always false on POSIX.
bool runningUnderWineForTesting();

// While `errorCode` is nonzero, every start that asks for its own job (process
// group) runs without one, as if joining had failed with that code, and reports
// it in jobErrorCode. 0 restores normal starts.
void failJobAssignmentForTesting(std::uint32_t errorCode);

// While `errorCode` is nonzero, replaceRegularFile of an existing file on
// Windows meets it where ReplaceFileW would: 5 (access denied) leaves both
// files as they are; 1176 removes the old file and leaves the new one under its
// temporary name, and every rename into the old file's place fails as well, as
// while someone holds the removed file open. No effect on POSIX, whose rename
// replaces in one step. 0 restores normal replacements.
void failFileReplacementForTesting(std::uint32_t errorCode);
// While set, replaceRegularFile calls hook(target) once the temporary is
// written, before it checks that the target is still the file it checked and
// puts the temporary in its place: a test swaps the file there. Empty: none.
void setBeforeReplaceHookForTesting(std::function<void(const std::string&)> hook);

}  // namespace tavrelon::platform

namespace tavrelon::platform {

// While `program` is not empty, a program's console is read (evidence.h) by
// starting `program` with the watchdog's hidden reading switch instead of this
// executable, which in a test is the test's own. Empty restores this executable.
void setConsoleReaderForTesting(const std::string& program);

// While `secondsSince1970` is not negative, bootTime() gives it instead of the
// machine's last start. -1 restores the machine's own.
void setBootTimeForTesting(std::int64_t secondsSince1970);

}  // namespace tavrelon::platform
