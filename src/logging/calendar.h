// Calendar arithmetic of the status log's times, for the watcher, the status log
// and the report: seconds since 1970-01-01 00:00:00 of the log's own clock, every
// day 86 400 s, on the proleptic Gregorian calendar. Computed, never re-parsed.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon {

constexpr std::int64_t kSecondsPerDay = 86400;

// A day of the calendar.
struct CivilDate {
  std::int64_t year = 1970;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
};

// Days since 1970-01-01 of `year`-`month`-`day` (negative before it).
std::int64_t daysFromCivil(std::int64_t year, int month, int day);

// The date `days` after 1970-01-01: the inverse of daysFromCivil.
CivilDate civilFromDays(std::int64_t days);

// 29 for February of a leap year, else the month's usual length.
int daysInMonth(std::int64_t year, int month);

// The day `seconds` fall in, as days since 1970-01-01 (rounded down).
std::int64_t dayNumberOf(std::int64_t seconds);

// The date `seconds` fall in.
CivilDate dateOf(std::int64_t seconds);

// "YYYY" (at least four digits), "YYYY-MM" and "YYYY-MM-DD" of `date`.
std::string yearText(std::int64_t year);
std::string monthText(const CivilDate& date);
std::string dateText(const CivilDate& date);

// "hh:mm:ss" of the time of day of `seconds`; "hh:mm" when not `withSeconds`.
std::string clockText(std::int64_t seconds, bool withSeconds = true);

}  // namespace tavrelon
