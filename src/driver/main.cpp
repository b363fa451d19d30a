#include "driver/watchdog.h"
#include "platform/evidence.h"

int main(int argc, char* argv[]) {
  // A copy of the watchdog started to read a hung program's console does that alone.
  int readerExit = 0;
  if (tavrelon::platform::runConsoleReaderCall(argc, argv, readerExit))
    return readerExit;
  return tavrelon::runWatchdog(argc, argv);
}
