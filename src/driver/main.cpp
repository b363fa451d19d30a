#include "driver/watchdog.h"

int main(int argc, char* argv[]) {
  return tavrelon::runWatchdog(argc, argv);
}
