// One log tree scan as the watchdog makes it at every poll, for timing against
// other tools from outside; and the generator of the tree it is timed on.
//
//   tavrelon_scan_once --make-tree DIR FILES [flat|nested]
//       writes the benchmark's log tree of FILES files under DIR
//   tavrelon_scan_once DIR
//       one latestLogSize() on DIR; prints the size and the scan's wall time
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fixtures.h"
#include "logging/log_tracker.h"
#include "platform/test_seams.h"

int main(int argc, char** argv) {
  using tavrelon::bench::TreeShape;
  if (argc >= 4 && std::string(argv[1]) == "--make-tree") {
    TreeShape shape =
        argc >= 5 && std::string(argv[4]) == "flat" ? TreeShape::Flat : TreeShape::Nested;
    tavrelon::bench::TreeInfo tree =
        tavrelon::bench::makeLogTree(argv[2], std::atoi(argv[3]), shape);
    std::printf("%d files, %d candidates\n", tree.files, tree.candidates);
    return tree.files == std::atoi(argv[3]) ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR | --make-tree DIR FILES [flat|nested]\n", argv[0]);
    return 2;
  }
  // An empty directory makes the constructor skip its own search, so the
  // process performs exactly one scan: the one timed below.
  tavrelon::platform::setSleepHookForTesting([](std::int64_t) {});
  tavrelon::TestLog tracker{std::string()};
  tracker.logDir = argv[1];
  auto start = std::chrono::steady_clock::now();
  std::int64_t size = tracker.latestLogSize();
  auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("size %lld scan_us %lld\n", static_cast<long long>(size),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
  return size > 0 ? 0 : 1;
}
