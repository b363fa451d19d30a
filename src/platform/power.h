// The machine's power and boot: when it last started, and keeping it awake
// while programs are supervised.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::platform {

// When the machine last started, in seconds since 1970 (UTC): /proc/stat's
// btime on Linux, the clock less the time since the start on Windows. False
// when it cannot be told. A test may set it (setBootTimeForTesting).
bool bootTime(std::int64_t& secondsSince1970);

// `secondsSince1970` as local time, formatted with the strftime `pattern`;
// empty when it cannot be converted.
std::string localTimeOf(std::int64_t secondsSince1970, const char* pattern);

// Keeps the machine from sleeping on idle (the display may still turn off)
// until allowSleep(); call both on the same thread, one that lives as long as
// the supervision does. Windows: the system-required execution state of that
// thread. Linux: a "sleep:idle" block of the login manager, asked for on the
// system bus without waiting; silently none where no bus or manager answers.
void keepAwake();
void allowSleep();

namespace backend {
// The system's own answer for bootTime().
bool systemBootTime(std::int64_t& secondsSince1970);
}  // namespace backend

}  // namespace tavrelon::platform
