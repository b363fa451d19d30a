// The jobs of the programs on Windows: started with kill on close, so that a
// watchdog killed outright takes its programs with it.
#include <windows.h>

#include "platform/program_guard.h"

namespace tavrelon::platform::backend {

void releaseJobAtClose(void* job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  ::SetInformationJobObject(static_cast<HANDLE>(job), JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
}

}  // namespace tavrelon::platform::backend
