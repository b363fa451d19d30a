// Fuzz target: the configuration reader on arbitrary file contents.
//
// The input becomes TavrelonConfig.ini byte for byte. Besides the sanitizers'
// checks, the records must follow the block rule (checked against a plain
// restatement of it), and the TimeOutMin parser must agree with the C
// library's strtol clamped to 32 bits.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/config_reader.h"
#include "config/text_lines.h"
#include "driver/watchdog.h"
#include "fuzz_support.h"

namespace {

using tavrelon::ProgramConfig;
using tavrelon::fuzzing::require;

std::string trim(const std::string& text, char c) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && text[first] == c)
    ++first;
  while (last > first && text[last - 1] == c)
    --last;
  return text.substr(first, last - first);
}

// What each record must hold, restated from the file format: program blocks
// begun by ApplicationPath, later entries of a key winning within a block.
struct Expected {
  std::string applicationPath;
  std::string applicationArgument;
  std::int32_t timeOutMin = 2;
};

std::int32_t referenceTimeOut(const std::string& value) {
  long long parsed = std::strtoll(value.c_str(), nullptr, 10);
  if (parsed > INT32_MAX)
    return INT32_MAX;
  if (parsed < INT32_MIN)
    return INT32_MIN;
  return static_cast<std::int32_t>(parsed);
}

std::vector<Expected> expectedRecords(std::string content) {
  std::vector<Expected> records(1);
  // A UTF-8 byte-order mark at the very start is no part of the first line.
  if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
    content.erase(0, 3);
  for (const std::string& line : tavrelon::splitLines(content)) {
    if (line.empty() || line[0] == '#')
      continue;
    std::size_t colon = line.find(':');
    std::string key = trim(colon == std::string::npos ? line : line.substr(0, colon), ' ');
    std::string value = trim(colon == std::string::npos ? line : line.substr(colon + 1), ' ');
    if (key == "ApplicationArgument") {
      records.back().applicationArgument = value;
      continue;
    }
    value = trim(value, '"');
    if (key == "ApplicationPath") {
      if (!records.back().applicationPath.empty())
        records.emplace_back();
      records.back().applicationPath = value;
    } else if (key == "TimeOutMin") {
      records.back().timeOutMin = referenceTimeOut(value);
    }
  }
  return records;
}

std::string describe(std::size_t index, const ProgramConfig& got, const Expected& want) {
  return "record " + std::to_string(index) + ": path [" + got.applicationPath + "] want [" +
         want.applicationPath + "], argument [" + got.applicationArgument + "] want [" +
         want.applicationArgument + "], TimeOutMin " + std::to_string(got.timeOutMin) + " want " +
         std::to_string(want.timeOutMin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);

  // The parser on its own, with the whole input as the value.
  std::int32_t parsed = tavrelon::parseTimeOutMin(content);
  std::int32_t reference = referenceTimeOut(content);
  require(parsed == reference, "parseTimeOutMin disagrees with strtoll clamped to 32 bits",
          std::to_string(parsed) + " != " + std::to_string(reference));

  static const std::string path = tavrelon::fuzzing::scratchFile("TavrelonConfig.ini");
  tavrelon::fuzzing::writeBytes(path, data, size);
  std::vector<ProgramConfig> records =
      tavrelon::readConfigFile(path, tavrelon::watchdogStatusLogDefaults());

  require(!records.empty(), "an opened configuration file gave no record");
  std::vector<Expected> expected = expectedRecords(content);
  require(records.size() == expected.size(), "wrong number of records",
          std::to_string(records.size()) + " != " + std::to_string(expected.size()));
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ProgramConfig& got = records[i];
    const Expected& want = expected[i];
    require(got.applicationPath == want.applicationPath &&
                got.applicationArgument == want.applicationArgument &&
                got.timeOutMin == want.timeOutMin,
            "record differs from the block rule", describe(i, got, want));
  }
  return 0;
}
