#include "platform/console_window.h"

namespace tavrelon::platform {

bool consoleOfItsOwn() {
  // A terminal belongs to whoever opened it, never to the program it runs.
  return false;
}

}  // namespace tavrelon::platform
