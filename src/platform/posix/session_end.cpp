// The end of the session on POSIX: the signals of the stop request tell it.
#include "platform/session_end.h"

namespace tavrelon::platform {

void watchSessionEnd() {}

bool sessionEnding() {
  return false;
}

}  // namespace tavrelon::platform
