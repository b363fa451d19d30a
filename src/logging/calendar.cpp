#include "logging/calendar.h"

namespace tavrelon {

namespace {

// Two digits of `value` (0 to 99) appended to `out`.
void appendTwoDigits(std::string& out, std::int64_t value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

}  // namespace

// Both conversions count in eras of 400 years (146 097 days) from 0000-03-01,
// so that a leap day ends its year.
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

CivilDate civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
  CivilDate date;
  date.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  date.month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  date.year = yearOfEra + era * 400 + (date.month <= 2);
  return date;
}

int daysInMonth(std::int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::int64_t dayNumberOf(std::int64_t seconds) {
  const std::int64_t days = seconds / kSecondsPerDay;
  return seconds % kSecondsPerDay < 0 ? days - 1 : days;
}

CivilDate dateOf(std::int64_t seconds) {
  return civilFromDays(dayNumberOf(seconds));
}

std::string yearText(std::int64_t year) {
  std::string out = std::to_string(year);
  while (out.size() < 4)
    out.insert(out.begin(), '0');
  return out;
}

std::string monthText(const CivilDate& date) {
  std::string out = yearText(date.year);
  out += '-';
  appendTwoDigits(out, date.month);
  return out;
}

std::string dateText(const CivilDate& date) {
  std::string out = monthText(date);
  out += '-';
  appendTwoDigits(out, date.day);
  return out;
}

std::string clockText(std::int64_t seconds, bool withSeconds) {
  const std::int64_t ofDay = seconds - dayNumberOf(seconds) * kSecondsPerDay;
  std::string out;
  appendTwoDigits(out, ofDay / 3600);
  out += ':';
  appendTwoDigits(out, ofDay / 60 % 60);
  if (withSeconds) {
    out += ':';
    appendTwoDigits(out, ofDay % 60);
  }
  return out;
}

}  // namespace tavrelon
