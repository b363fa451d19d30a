#include "logging/run_vocabulary.h"

#include "logging/calendar.h"

#include "platform/clock.h"
#include "platform/power.h"

namespace tavrelon {

namespace {

// The number of `count` digits at `text[at]`, or -1 when one is no digit.
int digits(const std::string& text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

const char* statusWord(RunStatus status) {
  // In the enum's order; Other last.
  static const char* const kWords[kRunStatuses] = {"finished", "crashed", "timeout", "interrupted",
                                                   "stopped",  "running", "other"};
  const int index = static_cast<int>(status);
  return index >= 0 && index < kRunStatuses ? kWords[index] : "other";
}

RunStatus runStatusOf(const std::string& word) {
  for (int i = 0; i < kRunStatuses - 1; ++i) {
    if (word == statusWord(static_cast<RunStatus>(i)))
      return static_cast<RunStatus>(i);
  }
  return RunStatus::Other;
}

std::string applicationIdOf(const std::string& programFile, const std::string& stamp) {
  return programFile + "_" + stamp;
}

std::string programOfApplicationId(const std::string& applicationId) {
  const std::string::size_type cut = applicationId.rfind('_');
  return cut == std::string::npos || cut == 0 ? applicationId : applicationId.substr(0, cut);
}

std::string latestLogText(const std::string& path, const std::string& line) {
  return "[" + path + "] " + line;
}

bool splitLatestLog(const std::string& latestLog, std::string& path, std::string& line) {
  const std::string::size_type close = latestLog.find("] ");
  if (latestLog.empty() || latestLog[0] != '[' || close == std::string::npos) {
    path.clear();
    line = latestLog;
    return false;
  }
  path = latestLog.substr(1, close - 1);
  line = latestLog.substr(close + 2);
  return true;
}

std::string stampNow() {
  return platform::localTime(kStampPattern);
}

std::string rowTimeNow() {
  return platform::localTime(kRowTimePattern);
}

std::string rowTimeOf(std::int64_t secondsSince1970) {
  return platform::localTimeOf(secondsSince1970, kRowTimePattern);
}

bool isStamp(const std::string& text) {
  if (text.size() != 14)
    return false;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

bool isRowTime(const std::string& text) {
  static const std::string form = "0000-00-00 00:00:00";
  if (text.size() != form.size())
    return false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    if ((form[i] == '0') != (text[i] >= '0' && text[i] <= '9'))
      return false;
    if (form[i] != '0' && text[i] != form[i])
      return false;
  }
  return true;
}

bool parseStatusTime(const std::string& text, std::int64_t& seconds) {
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':')
    return false;
  const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const int hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return false;
  if (day > daysInMonth(year, month))
    return false;
  seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string formatStatusTime(std::int64_t seconds) {
  return dateText(dateOf(seconds)) + ' ' + clockText(seconds);
}

}  // namespace tavrelon
