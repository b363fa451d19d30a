// The clock: local time and sleeps that tests may shorten.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::platform {

// The current local time formatted with the strftime `pattern`.
std::string localTime(const char* pattern);

// Blocks the calling thread for `milliseconds` (or calls the test hook of
// test_seams.h).
void sleepMilliseconds(std::int64_t milliseconds);

}  // namespace tavrelon::platform
